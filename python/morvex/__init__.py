"""morvex: a deterministic safety boundary between a controller and its actuators."""

# The names of the native modules, spelled out so that type checkers see them too.
from morvex._actuator import CoupledLimits, ReceiptGate
from morvex._morvex import (
    Governor,
    MonotonicCounter,
    MorvBoundary,
    MorvReceipt,
    MorvViolation,
    __version__,
)
from morvex.session import session_key

__all__ = ["__version__", "MorvBoundary", "MorvReceipt", "MorvViolation", "MonotonicCounter",
           "Governor", "ReceiptGate", "CoupledLimits", "session_key"]
