"""Several threads on one boundary, one counter and one governor at once."""

import sys
import threading

import pytest
from morvex import Governor, MonotonicCounter, MorvBoundary, MorvViolation

KEY = bytes(range(7, 39))
THREADS = 6
CALLS = 3000


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    yield
    sys.setswitchinterval(previous)


def test_shared_objects_under_contention(fast_switching):
    boundary = MorvBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
    counter = MonotonicCounter()
    governor = Governor(-1.0, 1.0)
    barrier = threading.Barrier(THREADS)
    receipts = [[] for _ in range(THREADS)]
    counts = [[] for _ in range(THREADS)]
    refusals = [0] * THREADS
    batches_ok = [True] * THREADS
    errors = []

    def work(index):
        try:
            barrier.wait()
            for i in range(CALLS):
                axis = index * 1000 + i % 7
                receipts[index].append((axis, boundary.authorize_action(axis, 0.25, 1.0)))
                counts[index].append(counter.next_value())
                try:
                    boundary.authorize_action(axis, 0.0, 99.0)
                except MorvViolation:
                    refusals[index] += 1
                if i % 100 == 0:
                    batches_ok[index] &= governor.project_batch([2.0, -2.0, 0.5] * 50) == [1.0, -1.0, 0.5] * 50
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert errors == []

    total = THREADS * CALLS
    sequence_ids = [r.sequence_id for per_thread in receipts for _, r in per_thread]
    assert sorted(sequence_ids) == list(range(1, total + 1))  # distinct, none lost
    for per_thread in receipts:  # each thread was admitted in increasing order
        ids = [r.sequence_id for _, r in per_thread]
        assert ids == sorted(ids)
    assert all(r.verify(KEY) for per_thread in receipts for _, r in per_thread)
    nonces = {r.receipt_hash[:12] for per_thread in receipts for _, r in per_thread}
    assert len(nonces) == total

    values = [v for per_thread in counts for v in per_thread]
    assert sorted(values) == list(range(1, total + 1))
    assert counter.current_value() == total
    assert refusals == [CALLS] * THREADS
    assert all(batches_ok)
