"""Type stubs for the native module morvex._morvex."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

__version__: str
__all__ = ["__version__", "MorvBoundary", "MorvReceipt", "MorvViolation", "MonotonicCounter", "Governor"]

_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class MorvBoundary:
    """Deterministic edge governor that authorizes physical actions."""

    def __new__(
        cls,
        rate_limit: SupportsIndex = 1000,
        max_velocity_rad_s: _Float = 4.18,
        monotonic_window_size: SupportsIndex = 64,
        hmac_key: bytes | None = None,
    ) -> MorvBoundary: ...
    def authorize_action(
        self, target_axis: SupportsIndex, requested_position: _Float, commanded_velocity: _Float
    ) -> MorvReceipt:
        """Authorize a single actuator command and return a signed receipt."""

@final
class MorvReceipt:
    """Replay-resistant authorization receipt returned by `MorvBoundary`."""

    @property
    def is_authorized(self) -> bool: ...
    @property
    def sequence_id(self) -> int: ...
    @property
    def timestamp_nanos(self) -> int: ...
    @property
    def receipt_hash(self) -> bytes: ...
    def verify(self, key: bytes) -> bool:
        """Re-verify this receipt against a 32-byte boundary key."""

@final
class MorvViolation(Exception):
    """Exception raised when an action request violates the Morvex boundary."""

    # An omitted violation type or message is the empty string.
    def __new__(
        cls, axis: SupportsIndex = 0, violation_type: str = ..., message: str = ...
    ) -> MorvViolation: ...
    @property
    def axis(self) -> int: ...
    @property
    def violation_type(self) -> str: ...
    @property
    def message(self) -> str: ...

@final
class MonotonicCounter:
    """A monotonically increasing 64-bit counter."""

    def __new__(cls, initial_value: SupportsIndex = 0) -> MonotonicCounter: ...
    def next_value(self) -> int:
        """Return the next strictly greater counter value."""
    def current_value(self) -> int:
        """Return the current counter value without advancing it."""

@final
class Governor:
    """Python wrapper around the Morvex scalar active-set projection kernel."""

    def __new__(cls, min_bound: _Float, max_bound: _Float) -> Governor: ...
    def project(self, u_desired: _Float) -> float:
        """Project a single scalar actuator command into the safe envelope."""
    def project_batch(self, u_vec: Sequence[_Float]) -> list[float]:
        """Project a vector of actuator commands in a single call."""
