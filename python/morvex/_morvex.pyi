"""Type stubs for the native module morvex._morvex."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__version__: str
__all__: list[str]

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

    def __new__(cls, min_bound: SupportsFloat | SupportsIndex, max_bound: SupportsFloat | SupportsIndex) -> Governor: ...
    def project(self, u_desired: SupportsFloat | SupportsIndex) -> float:
        """Project a single scalar actuator command into the safe envelope."""
    def project_batch(self, u_vec: Sequence[SupportsFloat | SupportsIndex]) -> list[float]:
        """Project a vector of actuator commands in a single call."""
