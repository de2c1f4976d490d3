"""MonotonicCounter: one more on every call, atomically, wrapping at 2**64."""

import threading

import pytest
from morvex import MonotonicCounter

U64_MAX = 2**64 - 1


def test_fresh_counter():
    c = MonotonicCounter()
    assert c.current_value() == 0
    assert c.next_value() == 1
    assert c.current_value() == 1


@pytest.mark.parametrize("make", [lambda: MonotonicCounter(41), lambda: MonotonicCounter(initial_value=41)])
def test_initial_value(make):
    assert make().next_value() == 42


def test_wraps_to_zero_without_error():
    c = MonotonicCounter(U64_MAX - 1)
    assert c.next_value() == U64_MAX
    assert c.next_value() == 0
    assert c.current_value() == 0
    assert c.next_value() == 1
    assert MonotonicCounter(U64_MAX).next_value() == 0


def test_current_value_does_not_advance():
    c = MonotonicCounter(5)
    for _ in range(10):
        assert c.current_value() == 5
    assert c.next_value() == 6


def test_counters_are_independent():
    a, b = MonotonicCounter(), MonotonicCounter(100)
    for _ in range(3):
        a.next_value()
    assert b.current_value() == 100
    assert a.current_value() == 3


def test_construction_conversions():
    assert MonotonicCounter(True).current_value() == 1
    with pytest.raises(TypeError, match=r"^argument 'initial_value': "):
        MonotonicCounter(3.0)


def test_methods_take_no_arguments():
    c = MonotonicCounter()
    with pytest.raises(TypeError):
        c.next_value(1)
    with pytest.raises(TypeError):
        c.current_value(step=1)


def test_concurrent_increments_are_distinct_and_complete():
    counter = MonotonicCounter(10)
    threads_count, per_thread = 8, 20_000
    seen = [[] for _ in range(threads_count)]
    barrier = threading.Barrier(threads_count)

    def work(out):
        barrier.wait()
        next_value = counter.next_value
        for _ in range(per_thread):
            out.append(next_value())

    threads = [threading.Thread(target=work, args=(out,)) for out in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    values = [v for out in seen for v in out]
    assert len(set(values)) == len(values)
    assert sorted(values) == list(range(11, 11 + threads_count * per_thread))
    assert all(out == sorted(out) for out in seen)  # each thread sees its values increase
    assert counter.current_value() == 10 + threads_count * per_thread
