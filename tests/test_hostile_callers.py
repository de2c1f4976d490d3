"""What hostile or unlucky Python code does to the extension ends in a Python
exception, never in a crash: a replaced exception class, recursion through an
argument conversion, and allocations failing one at a time. Each group runs in a
child process (this file run as a script), so that a crash fails its test
instead of ending the test run."""

import os
import resource
import subprocess
import sys

import pytest

KEY = bytes(range(32))


def run_group(name, stack_bytes=None):
    def limit_stack():
        if stack_bytes is not None:
            hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
            if hard != resource.RLIM_INFINITY:
                stack_bytes_allowed = min(stack_bytes, hard)
            else:
                stack_bytes_allowed = stack_bytes
            resource.setrlimit(resource.RLIMIT_STACK, (stack_bytes_allowed, hard))

    child = subprocess.run([sys.executable, __file__, name], capture_output=True, text=True,
                           timeout=600, preexec_fn=limit_stack)
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"


# ---- in the child ----------------------------------------------------------


def replaced_exception_class():
    from morvex import MorvBoundary, MorvViolation, ReceiptGate

    boundary, closed, gate = MorvBoundary(), MorvBoundary(rate_limit=0), ReceiptGate()
    refusals = [
        lambda: boundary.authorize_action(0, 0.0, 99.0),
        lambda: closed.authorize_action(0, 0.0, 1.0),
        lambda: gate.check(b"\0" * 60, 0, 0.0, 0.0),
    ]
    for replacement in (5, None, "text"):
        MorvViolation.__new__ = staticmethod(lambda cls, *args, r=replacement: r)
        try:
            raise MorvViolation
        except TypeError as error:  # the interpreter's own words
            expected = str(error)
        for refuse in refusals:
            try:
                refuse()
            except TypeError as error:
                assert str(error) == expected, (str(error), expected)
            else:
                raise AssertionError("no error")
    # Nothing else changed: the first receipt of the boundary passes the gate.
    receipt = boundary.authorize_action(0, 0.0, 1.0)
    assert receipt.sequence_id == 1
    assert gate.check(receipt.receipt_hash, 0, 0.0, 1.0) == 1


def recursion():
    from morvex import CoupledLimits, Governor, MonotonicCounter, MorvBoundary

    sys.setrecursionlimit(10000)
    g = Governor(0.0, 1.0)
    box = CoupledLimits([0.0] * 4, [1.0] * 4)

    class Items:
        def __init__(self, item):
            self.item = item

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            return self.item

    class Recurse:
        def __init__(self, through):
            self.through = through

        def __float__(self):
            return self.through(self)

        def __index__(self):
            return self.through(self)

    throughs = [
        g.project,
        lambda r: g.project_batch([r])[0],
        lambda r: g.project_batch(Items(r))[0],
        lambda r: MonotonicCounter(r).current_value(),
        lambda r: MorvBoundary().authorize_action(r, 0.0, 99.0),
        lambda r: box.project([r, 0.0, 0.0, 0.0])[0],
        lambda r: box.project_batch(Items([r, 0.0, 0.0, 0.0]))[0][0],
    ]
    for through in throughs:
        try:
            through(Recurse(through))
        except RecursionError:
            pass
        else:
            raise AssertionError("no RecursionError")
    assert g.project(2.0) == 1.0


class FailingAllocations:
    """Fails the n-th allocation of a call for n = 0, 1, ... until the call has
    run whole several times in a row. Every outcome must be MemoryError or the
    call's normal outcome (`check`); `check` also runs after a MemoryError (with
    None) to see that the objects still work."""

    def __init__(self):
        import _testcapi

        self.capi = _testcapi

    def attempt(self, call, n):
        self.capi.set_nomemory(n, n + 1)
        try:
            return call()
        except SystemError as error:
            if error.__traceback__.tb_next is None:
                # CPython 3.11's report of a frame for `call` it could not
                # allocate (no MemoryError set): nothing of the call ran.
                return MemoryError()
            return error
        except BaseException as error:  # noqa: B902 - every outcome is judged below
            return error
        finally:
            self.capi.remove_mem_hooks()

    def run(self, name, call, check):
        n = whole = failed = 0
        while whole < 8:
            outcome = self.attempt(call, n)
            if isinstance(outcome, MemoryError):
                failed += 1
                whole = 0
                check(None)
            else:
                whole += 1
                check(outcome)
            n += 1
        print(name, "allocations failed:", failed, "of", n)


def shown(outcome):
    import traceback

    if isinstance(outcome, BaseException):
        return "".join(traceback.format_exception(outcome))
    return repr(outcome)


def same_outcome(expected):
    """An exception of the same type and args, or an equal value."""
    def check(outcome):
        if isinstance(expected, BaseException):
            assert outcome is None or (type(outcome) is type(expected)
                                       and outcome.args == expected.args), shown(outcome)
        else:
            assert outcome is None or outcome == expected, (shown(outcome), expected)
    return check


def outcome_of(call):
    try:
        return call()
    except Exception as error:  # noqa: B902
        return error


def memory_governor():
    import tracemalloc

    from morvex import CoupledLimits, Governor

    g = Governor(-1.0, 1.0)

    class Lying(list):
        def __len__(self):
            return 2**62

    class Half:
        def __float__(self):
            return 0.5

    values = [i / 64 - 2.0 for i in range(300)]  # exact in single precision
    expected = [min(max(v, -1.0), 1.0) for v in values]
    tracemalloc.start()
    assert g.project_batch(Lying(values)) == expected
    assert tracemalloc.get_traced_memory()[1] < 1 << 20, "reserved by the length hint"
    tracemalloc.stop()
    failing = FailingAllocations()

    def works(outcome, normal):
        assert outcome is None or outcome == normal, shown(outcome)
        assert g.project_batch(values) == expected

    failing.run("Governor", lambda: Governor(-1.0, 1.0).project(3.0), lambda o: works(o, 1.0))
    failing.run("project", lambda: g.project(Half()), lambda o: works(o, 0.5))
    for label, make in [("list", list), ("tuple", tuple), ("lying", Lying)]:
        failing.run(label, lambda make=make: g.project_batch(make(values)),
                    lambda o: works(o, expected))
    box = CoupledLimits([-1.0] * 4, [1.0] * 4, [[1.0, 1.0, 0.0, 0.0]], [0.5])
    commands = [(v, -v, v / 2, 3.0) for v in values[:50]]
    normal = box.project_batch(commands)
    failing.run("CoupledLimits",
                lambda: CoupledLimits([-1.0] * 4, [1.0] * 4, [[1.0] * 4], [1.0]).bounds,
                same_outcome((1.0,)))
    failing.run("CoupledLimits.project", lambda: box.project(commands[-1]),
                same_outcome(normal[-1]))
    failing.run("CoupledLimits batch", lambda: box.project_batch(iter(commands)),
                same_outcome(normal))
    failing.run("CoupledLimits fields", lambda: (box.lower, box.upper, box.rows, box.bounds),
                same_outcome((box.lower, box.upper, box.rows, box.bounds)))
    errors = [
        lambda: box.project([1.0] * 3),
        lambda: box.project_batch(memoryview(b"x" * 8)),
        lambda: g.project("x"),
        lambda: g.project(1.0, 2.0),
        lambda: Governor(),
        lambda: Governor(1.0, 2.0, bogus=3),
        lambda: g.project_batch(5),
        lambda: Governor(1.0, 0.0),
    ]
    for call in errors:
        failing.run("argument error", call, same_outcome(outcome_of(call)))


def memory_counter():
    from morvex import MonotonicCounter

    counter = MonotonicCounter(10**6)
    failing = FailingAllocations()
    state = {"last": 10**6}

    def advanced_by_one(outcome):
        if outcome is not None:
            assert outcome == state["last"] + 1, (outcome, state)
            state["last"] = outcome
        assert counter.current_value() == state["last"]  # nothing consumed by a failure

    failing.run("next_value", counter.next_value, advanced_by_one)
    failing.run("MonotonicCounter", lambda: MonotonicCounter(10**9).current_value(),
                same_outcome(10**9))


def memory_boundary():
    from morvex import MorvBoundary, MorvReceipt, MorvViolation, ReceiptGate

    boundary = MorvBoundary(rate_limit=10**9, hmac_key=KEY)
    failing = FailingAllocations()
    issued = []

    def next_in_sequence(outcome):
        if outcome is not None:
            assert type(outcome) is MorvReceipt, outcome
            assert outcome.sequence_id == len(issued) + 1  # a failure counted nothing
            assert outcome.verify(KEY)
            issued.append(outcome)

    failing.run("authorize_action", lambda: boundary.authorize_action(7, 0.5, 1.0),
                next_in_sequence)
    failing.run("MorvBoundary",
                lambda: MorvBoundary(hmac_key=KEY).authorize_action(1, 0.0, 1.0).verify(KEY),
                same_outcome(True))
    receipt = issued[-1]
    fields = (receipt.receipt_hash, receipt.sequence_id, receipt.timestamp_nanos, True, True)
    failing.run("receipt", lambda: (receipt.receipt_hash, receipt.sequence_id,
                                    receipt.timestamp_nanos, receipt.is_authorized,
                                    receipt.verify(KEY)),
                same_outcome(fields))
    closed = MorvBoundary(rate_limit=0)
    for refuse in (lambda: boundary.authorize_action(-5, 0.0, 1e300),
                   lambda: closed.authorize_action(2, 0.0, 0.0),
                   lambda: MorvViolation(3, "type", "text"),
                   lambda: str(MorvViolation(3, "type", "text"))):
        failing.run("refusal", refuse, same_outcome(outcome_of(refuse)))
    next_in_sequence(boundary.authorize_action(7, 0.5, 1.0))

    # The gate: receipts past the small integers, so that the answer is allocated.
    receipts = [boundary.authorize_action(7, 0.5, 1.0).receipt_hash for _ in range(3000)]
    start = len(issued) + 300
    gate = ReceiptGate(KEY, last_sequence_id=start)

    def accepted_in_order(outcome):
        if outcome is not None:
            assert outcome == accepted_in_order.last + 1, outcome
            accepted_in_order.last = outcome
        assert gate.last_sequence_id == accepted_in_order.last  # a failure recorded nothing

    accepted_in_order.last = start
    failing.run("check", lambda: gate.check(receipts[gate.last_sequence_id - len(issued)], 7,
                                            0.5, 1.0), accepted_in_order)
    failing.run("ReceiptGate", lambda: ReceiptGate(KEY, 5, 1.0).last_sequence_id, same_outcome(5))
    forged = lambda: gate.check(b"\0" * 60, 7, 0.5, 1.0)  # noqa: E731
    failing.run("gate refusal", forged, same_outcome(outcome_of(forged)))


def memory_import():
    import glob
    import importlib.util
    import os

    import _imp

    failing = FailingAllocations()
    package = importlib.util.find_spec("morvex").submodule_search_locations[0]

    def load(name):
        path = glob.glob(os.path.join(package, name + ".*.so"))[0]
        return importlib.util.spec_from_file_location("morvex." + name, path)

    native = load("_morvex")
    failing.run("import _morvex", lambda: _imp.create_dynamic(native).Governor.__name__,
                same_outcome("Governor"))
    sys.modules["morvex._morvex"] = _imp.create_dynamic(native)
    import morvex._morvex as m

    assert m.Governor(0.0, 1.0).project(2.0) == 1.0
    assert m.Governor.project.__text_signature__ == "($self, u_desired)"
    assert m.MorvBoundary.__doc__.startswith("Deterministic edge governor")
    actuator = load("_actuator")
    failing.run("import _actuator", lambda: _imp.create_dynamic(actuator).ReceiptGate.__name__,
                same_outcome("ReceiptGate"))


GROUPS = {f.__name__: f for f in (replaced_exception_class, recursion, memory_governor,
                                   memory_counter, memory_boundary, memory_import)}

if __name__ == "__main__":
    GROUPS[sys.argv[1]]()


# ---- the tests ---------------------------------------------------------------


@pytest.mark.parametrize("group", ["replaced_exception_class", "recursion"])
def test_hostile_code_raises_instead_of_crashing(group):
    # The default 8 MiB stack, on which the interpreter's own float() survives
    # the same recursion; frames instrumented by AddressSanitizer are several
    # times larger, so a sanitized run gets a proportionally larger stack.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    run_group(group, stack_bytes=(64 if sanitized else 8) << 20)


@pytest.mark.parametrize("group", ["memory_governor", "memory_counter", "memory_boundary",
                                   "memory_import"])
def test_each_failed_allocation_raises_memory_error_and_leaves_objects_working(group):
    pytest.importorskip("_testcapi")
    run_group(group)
