"""Type stubs for the native module morvex._actuator."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final, overload

from typing_extensions import Buffer

from morvex.wire import Command, Session, Verdict

__all__ = ["ReceiptGate", "CoupledLimits"]

_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class ReceiptGate:
    """Checks receipts where the command is executed: a command is accepted only with a receipt issued for exactly that command, under the gate's key, once, in order, and within max_age_s of now when that is set."""

    def __new__(
        cls,
        hmac_key: bytes | None = None,
        last_sequence_id: SupportsIndex = 0,
        max_age_s: _Float | None = None,
    ) -> ReceiptGate: ...
    def check(
        self,
        receipt_hash: bytes,
        target_axis: SupportsIndex,
        requested_position: _Float,
        commanded_velocity: _Float,
    ) -> int:
        """Accept a command with its receipt and return the receipt's sequence id, or raise MorvViolation."""
    @property
    def last_sequence_id(self) -> int: ...

_Vec4: TypeAlias = Sequence[_Float]
_Command: TypeAlias = tuple[float, float, float, float]

@final
class CoupledLimits:
    """Four-axis limits, a box and up to four coupled rows a . u <= b, fixed and checked at construction; project() returns the nearest command inside them."""

    def __new__(
        cls,
        lower: _Vec4,
        upper: _Vec4,
        rows: Sequence[_Vec4] = (),
        bounds: Sequence[_Float] = (),
    ) -> CoupledLimits: ...
    def project(self, u: _Vec4) -> _Command:
        """Return the command inside the limits nearest to u, as a 4-tuple."""
    @overload
    def project_batch(self, us: Buffer, out: Buffer | None = None) -> Buffer:
        """Project every command of us: a sequence of 4-sequences (a list of 4-tuples back) or a float64 buffer of shape (n, 4) (written into out, or a new memoryview)."""
    @overload
    def project_batch(self, us: Sequence[_Vec4], out: None = None) -> list[_Command]: ...
    @property
    def lower(self) -> _Command: ...
    @property
    def upper(self) -> _Command: ...
    @property
    def rows(self) -> tuple[_Command, ...]: ...
    @property
    def bounds(self) -> tuple[float, ...]: ...

@final
class Decoder:
    """Finds the frames in a byte stream: feed() it bytes as they arrive, in pieces of any size, and get the frames completed so far; damaged frames are dropped and counted."""

    def __new__(cls) -> Decoder: ...
    def feed(self, data: Buffer) -> list[Command | Verdict | Session]:
        """Read bytes (any bytes-like object) and return the frames they complete, in order: Command, Verdict and Session tuples."""
    @property
    def corrupt(self) -> int: ...
    @property
    def unsupported(self) -> int: ...

def encode_command(
    axis: SupportsIndex,
    requested_position: _Float,
    commanded_velocity: _Float,
    receipt_hash: Buffer,
) -> bytes:
    """Return the command frame (bytes, delimiter included) of a command and its 60-byte receipt."""

def encode_verdict(sequence_id: SupportsIndex, axis: SupportsIndex, violation_type: str) -> bytes:
    """Return the verdict frame of a checked command: violation_type is "" when it was accepted, else the gate's refusal code."""

def encode_session(session_id: Buffer) -> bytes:
    """Return the session frame announcing a 16-byte session id."""
