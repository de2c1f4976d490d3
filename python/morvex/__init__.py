"""morvex: a deterministic safety boundary between a controller and its actuators."""

from morvex import _actuator, _morvex
from morvex._actuator import *
from morvex._morvex import *

__version__ = _morvex.__version__
__all__ = list(_morvex.__all__) + list(_actuator.__all__)
