"""Hostile or unlucky Python code gets an exception, never a crash: a replaced
exception class, recursion through a conversion, allocations failing one at a
time. Each group runs in a child process (this file as a script)."""

import os
import resource
import subprocess
import sys

import pytest

KEY = bytes(range(32))


def run_group(name, stack_bytes=None):
    def limit_stack():
        hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
        if stack_bytes is not None:
            soft = stack_bytes if hard == resource.RLIM_INFINITY else min(stack_bytes, hard)
            resource.setrlimit(resource.RLIMIT_STACK, (soft, hard))

    child = subprocess.run([sys.executable, __file__, name], capture_output=True, text=True,
                           timeout=600, preexec_fn=limit_stack)
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"


def replaced_exception_class():
    from morvex import MorvBoundary, MorvViolation, ReceiptGate

    boundary, closed, gate = MorvBoundary(), MorvBoundary(rate_limit=0), ReceiptGate()
    for replacement in (5, None, "text"):
        MorvViolation.__new__ = staticmethod(lambda cls, *args, r=replacement: r)
        try:
            raise MorvViolation
        except TypeError as error:  # the interpreter's own words
            expected = error
        for refuse in (lambda: boundary.authorize_action(0, 0.0, 99.0),
                       lambda: closed.authorize_action(0, 0.0, 1.0),
                       lambda: gate.check(b"\0" * 60, 0, 0.0, 0.0)):
            same_outcome(expected)(outcome_of(refuse))
    # Nothing else changed: the first receipt of the boundary passes the gate.
    receipt = boundary.authorize_action(0, 0.0, 1.0)
    assert receipt.sequence_id == 1
    assert gate.check(receipt.receipt_hash, 0, 0.0, 1.0) == 1


def recursion():
    from collections import UserList

    from morvex import CoupledLimits, Governor, MonotonicCounter, MorvBoundary

    sys.setrecursionlimit(10000)
    g = Governor(0.0, 1.0)
    box = CoupledLimits([0.0] * 4, [1.0] * 4)

    class Recurse:
        def __init__(self, through):
            self.through = through

        __float__ = __index__ = lambda self: self.through(self)  # noqa: E731

    throughs = [
        g.project,
        lambda r: g.project_batch([r])[0],
        lambda r: g.project_batch(UserList([r]))[0],
        lambda r: MonotonicCounter(r).current_value(),
        lambda r: MorvBoundary().authorize_action(r, 0.0, 99.0),
        lambda r: box.project([r, 0.0, 0.0, 0.0])[0],
        lambda r: box.project_batch(UserList([[r, 0.0, 0.0, 0.0]]))[0][0],
    ]
    for through in throughs:
        assert type(outcome_of(lambda: through(Recurse(through)))) is RecursionError, through
    assert g.project(2.0) == 1.0


def recursion_through_refusals():
    """A refusal's class replaced by code that calls back into a refusing call: at every
    level the exception is built from Python code, which must count toward the limit."""
    from morvex import CoupledLimits, MorvBoundary, MorvViolation, ReceiptGate

    boundary, gate = MorvBoundary(max_velocity_rad_s=1.0), ReceiptGate(hmac_key=KEY)
    box = CoupledLimits([0.0] * 4, [1.0] * 4)

    class Refusing:  # its value is a refusal of the boundary
        __float__ = lambda self: boundary.authorize_action(0, 0.0, 5.0)  # noqa: E731

    # Each is the hook itself, so that a level of recursion is one Python frame, as in
    # the interpreter's own recursions it is compared with.
    calls = {
        "authorize_action": lambda *_: boundary.authorize_action(0, 0.0, 5.0),
        "ReceiptGate.check": lambda *_: gate.check(bytes(60), 0, 0.0, 0.0),
        "CoupledLimits.project": lambda *_: box.project([Refusing(), 0.0, 0.0, 0.0]),
    }
    # A replaced __init__ is taken back with del; a replaced __new__ cannot be, so it comes last.
    for hook in ("__init__", "__new__"):
        for limit in (1000, 10000):
            sys.setrecursionlimit(limit)
            for name, call in calls.items():
                if hook == "__new__":
                    MorvViolation.__new__ = staticmethod(call)
                else:
                    MorvViolation.__init__ = call
                outcome = outcome_of(call)
                if hook == "__init__":
                    del MorvViolation.__init__
                assert type(outcome) is RecursionError, (limit, hook, name, outcome)
    # The boundary and the gate still work together.
    receipt = MorvBoundary(hmac_key=KEY).authorize_action(2, 0.5, 0.5)
    assert gate.check(receipt.receipt_hash, 2, 0.5, 0.5) == 1


def fail_each_allocation(call, check):
    """Fails the n-th allocation of call() for n = 0, 1, ... until it runs whole eight
    times in a row; each outcome is MemoryError (then `check(None)`) or passes `check`."""
    import _testcapi

    n = whole = 0
    while whole < 8:
        _testcapi.set_nomemory(n, n + 1)
        try:
            outcome = call()
        except SystemError as error:
            # CPython 3.11 reports a frame for `call` that it could not allocate
            # so (without MemoryError): nothing of the call ran.
            outcome = MemoryError() if error.__traceback__.tb_next is None else error
        except BaseException as error:  # noqa: B902 - every outcome is judged below
            outcome = error
        finally:
            _testcapi.remove_mem_hooks()
        whole = 0 if isinstance(outcome, MemoryError) else whole + 1
        check(None if isinstance(outcome, MemoryError) else outcome)
        n += 1


def outcome_of(call):
    try:
        return call()
    except Exception as error:  # noqa: B902
        return error


def same_outcome(expected):
    """None (after a MemoryError), an exception of the same type and args, or an
    equal value."""
    def key(o):
        return (type(o), o.args) if isinstance(o, BaseException) else o

    def check(outcome):
        assert outcome is None or key(outcome) == key(expected), repr(outcome)
    return check


def fail_each(calls):  # calls whose normal outcome never changes
    for call in calls:
        fail_each_allocation(call, same_outcome(outcome_of(call)))


def memory_governor():
    import tracemalloc

    from helpers import FloatLike
    from morvex import CoupledLimits, Governor

    g = Governor(-1.0, 1.0)
    box = CoupledLimits([-1.0] * 4, [1.0] * 4, [[1.0, 1.0, 0.0, 0.0]], [0.5])

    class Lying(list):
        def __len__(self):
            return 2**62

    values = [i / 64 - 2.0 for i in range(300)]  # exact in single precision
    commands = [(v, -v, v / 2, 3.0) for v in values[:50]]
    tracemalloc.start()
    assert g.project_batch(Lying(values)) == [min(max(v, -1.0), 1.0) for v in values]
    assert tracemalloc.get_traced_memory()[1] < 1 << 20, "reserved by the length hint"
    tracemalloc.stop()
    fail_each([
        lambda: Governor(-1.0, 1.0).project(3.0),
        lambda: g.project(FloatLike(0.5)),
        lambda: g.project_batch(values),
        lambda: g.project_batch(tuple(values)),
        lambda: g.project_batch(Lying(values)),
        lambda: CoupledLimits([-1.0] * 4, [1.0] * 4, [[1.0] * 4], [1.0]).bounds,
        lambda: box.project(commands[-1]),
        lambda: box.project_batch(iter(commands)),
        lambda: (box.lower, box.upper, box.rows, box.bounds),
        lambda: box.project([1.0] * 3),
        lambda: box.project_batch(memoryview(b"x" * 8)),
        lambda: g.project("x"),
        lambda: Governor(),
        lambda: Governor(1.0, 2.0, bogus=3),
        lambda: g.project_batch(5),
        lambda: Governor(1.0, 0.0),
    ])
    assert g.project_batch(values[:3]) == [-1.0, -1.0, -1.0]


def in_sequence(last, number, current=None):
    """Each normal outcome is number last + 1; nothing moves after a MemoryError."""
    def check(outcome):
        nonlocal last
        if outcome is not None:
            assert number(outcome) == last + 1, outcome
            last += 1
        assert current is None or current() == last
    return check


def memory_counting():
    from morvex import MonotonicCounter, MorvBoundary, MorvViolation, ReceiptGate

    counter = MonotonicCounter(10**6)
    fail_each_allocation(counter.next_value, in_sequence(10**6, int, counter.current_value))
    boundary = MorvBoundary(rate_limit=10**9, hmac_key=KEY)
    issued = in_sequence(0, lambda r: r.verify(KEY) and r.sequence_id)
    fail_each_allocation(lambda: boundary.authorize_action(7, 0.5, 1.0), issued)
    receipt, closed = boundary.authorize_action(7, 0.5, 1.0), MorvBoundary(rate_limit=0)
    issued(receipt)
    fail_each([
        lambda: MonotonicCounter(10**9).current_value(),
        lambda: MorvBoundary(hmac_key=KEY).authorize_action(1, 0.0, 1.0).verify(KEY),
        lambda: (receipt.receipt_hash, receipt.sequence_id, receipt.timestamp_nanos,
                 receipt.is_authorized, receipt.verify(KEY)),
        lambda: boundary.authorize_action(-5, 0.0, 1e300),
        lambda: closed.authorize_action(2, 0.0, 0.0),
        lambda: str(MorvViolation(3, "type", "text")),
        lambda: ReceiptGate(KEY, 5, 1.0).last_sequence_id,
        lambda: ReceiptGate(KEY).check(b"\0" * 60, 7, 0.5, 1.0),
    ])
    issued(boundary.authorize_action(7, 0.5, 1.0))
    # The gate, past the small integers so that its answer is allocated.
    first = receipt.sequence_id + 2
    hashes = [boundary.authorize_action(7, 0.5, 1.0).receipt_hash for _ in range(3000)]
    gate = ReceiptGate(KEY, last_sequence_id=first + 300)
    fail_each_allocation(
        lambda: gate.check(hashes[gate.last_sequence_id + 1 - first], 7, 0.5, 1.0),
        in_sequence(first + 300, int, lambda: gate.last_sequence_id))


def memory_import():
    import glob
    import importlib.util

    import _imp

    package = importlib.util.find_spec("morvex").submodule_search_locations[0]
    for name, cls, signature in (("_morvex", "Governor", "(min_bound, max_bound)"), (
            "_actuator", "ReceiptGate", "(hmac_key=None, last_sequence_id=0, max_age_s=None)")):
        path = glob.glob(os.path.join(package, name + ".*.so"))[0]
        spec = importlib.util.spec_from_file_location("morvex." + name, path)
        fail_each_allocation(
            lambda: getattr(_imp.create_dynamic(spec), cls).__text_signature__,  # noqa: B023
            same_outcome(signature))
        sys.modules[spec.name] = _imp.create_dynamic(spec)  # what _actuator imports


GROUPS = {f.__name__: f for f in (replaced_exception_class, recursion, recursion_through_refusals,
                                   memory_governor, memory_counting, memory_import)}

if __name__ == "__main__":
    GROUPS[sys.argv[1]]()


@pytest.mark.parametrize("group", ["replaced_exception_class", "recursion",
                                   "recursion_through_refusals"])
def test_hostile_code_raises_instead_of_crashing(group):
    # The default 8 MiB stack, on which float() survives the same recursion; frames
    # instrumented by AddressSanitizer are larger, so they get a larger stack.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    run_group(group, stack_bytes=(64 if sanitized else 8) << 20)


@pytest.mark.parametrize("group", ["memory_governor", "memory_counting", "memory_import"])
def test_each_failed_allocation_raises_memory_error_and_leaves_objects_working(group):
    pytest.importorskip("_testcapi")
    run_group(group)
