"""Shared fixtures for the Python tests."""

import os

import pytest
from morvex import kernels


@pytest.fixture(scope="session")
def kernel_lib():
    """The exported C kernels, loaded from the installed extension module.

    MORVEX_KERNEL_LIB may name another shared object that exports them (for
    example a freshly built libmorvex_core.so).
    """
    return kernels.load(os.environ.get("MORVEX_KERNEL_LIB"))
