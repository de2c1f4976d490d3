"""Type stubs for the native module morvex._actuator."""

from typing import SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["ReceiptGate"]

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
