"""The records of the four-axis kernel, written from their documented layout (the
tests check sizes and offsets against it)."""

import ctypes

F4 = ctypes.c_float * 4


class Bounds4(ctypes.Structure):
    _fields_ = [("min", F4), ("max", F4)]


class Constraints4(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint64), ("a", F4 * 4), ("b", F4)]


class Solution4(ctypes.Structure):
    _fields_ = [("u", F4), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]
