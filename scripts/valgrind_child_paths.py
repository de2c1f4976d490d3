"""Drives, in one interpreter, the paths of morvex that the test suite reaches
only in child processes, so that scripts/valgrind_leaks.sh can run them under
memcheck: a random source that fails with each kind of errno (through the
suite's LD_PRELOAD shim, tests/shims/fake_os.c, preloaded by the caller with
MORVEX_FAKE_GETRANDOM_FILE set), and the refusal of a second interpreter.

    python valgrind_child_paths.py main-first   # import in the main interpreter,
                                                # refused in a sub-interpreter,
                                                # then the random-source failures
    python valgrind_child_paths.py sub-first    # import in a sub-interpreter,
                                                # refused in the main one
"""

import _xxsubinterpreters as interpreters
import os
import sys

REFUSAL = "do not yet support subinterpreters"


def import_in_subinterpreter():
    """The text of the failure of an import in a new sub-interpreter, or None."""
    try:
        interpreters.run_string(interpreters.create(), "import morvex._morvex")
    except interpreters.RunFailedError as failure:  # wraps the sub-interpreter's ImportError
        return str(failure)
    return None


def sub_first():
    assert import_in_subinterpreter() is None, "the first import was refused"
    try:
        import morvex._morvex  # noqa: F401
    except ImportError as failure:
        assert REFUSAL in str(failure), failure
    else:
        raise AssertionError("a second interpreter imported the module")
    print("second interpreter refused")


def fail_random(error_number):
    with open(os.environ["MORVEX_FAKE_GETRANDOM_FILE"], "w") as f:
        f.write("" if error_number is None else str(error_number))


def main_first():
    from morvex import MorvBoundary

    refusal = import_in_subinterpreter()
    assert refusal is not None and REFUSAL in refusal, refusal
    print("second interpreter refused")

    boundary = MorvBoundary(rate_limit=2**64 - 1)
    for error_number in (0, 5, 11, 4000):
        fail_random(error_number)
        for _ in range(50):
            try:
                boundary.authorize_action(1, 0.0, 0.0)
            except RuntimeError as failure:
                assert str(failure).startswith("failed to generate nonce: "), failure
            else:
                raise AssertionError(f"no error from a random source failing with {error_number}")
    fail_random(None)
    assert boundary.authorize_action(1, 0.0, 0.0).verify(bytes(32)) is False
    print("random-source failures reported")


if __name__ == "__main__":
    {"main-first": main_first, "sub-first": sub_first}[sys.argv[1]]()
