"""Shared fixtures for the Python tests."""

import ctypes
import os

import pytest


@pytest.fixture(scope="session")
def kernel_lib():
    """The exported C kernels, loaded from the installed extension module.

    MORVEX_KERNEL_LIB may name another shared object that exports them (for
    example a freshly built libmorvex_core.so).
    """
    path = os.environ.get("MORVEX_KERNEL_LIB")
    if not path:
        import morvex._morvex

        path = morvex._morvex.__file__
    return ctypes.CDLL(path)
