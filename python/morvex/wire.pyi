"""Type stubs for morvex.wire: the wire frames (the codec runs in morvex._actuator)."""

from typing import NamedTuple

from morvex._actuator import Decoder as Decoder
from morvex._actuator import encode_command as encode_command
from morvex._actuator import encode_session as encode_session
from morvex._actuator import encode_verdict as encode_verdict

__all__ = ["encode_command", "encode_verdict", "encode_session", "Decoder", "Command",
           "Verdict", "Session"]

class Command(NamedTuple):
    """A command frame: the command and the 60-byte receipt issued for it."""

    axis: int
    requested_position: float
    commanded_velocity: float
    receipt_hash: bytes

class Verdict(NamedTuple):
    """A verdict frame: the receipt's sequence id, the axis, and "" for an accepted command or the receipt gate's refusal code."""

    sequence_id: int
    axis: int
    violation_type: str

class Session(NamedTuple):
    """A session frame: the 16-byte session id."""

    session_id: bytes
