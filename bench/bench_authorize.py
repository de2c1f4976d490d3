"""Authorization cost against what a user would write with hmac and os.urandom.

Prints ratios (ours / anchor; below 1 means faster). Run: python bench/bench_authorize.py
"""

import hmac
import math
import os
import struct
import sys
import timeit

sys.path.insert(0, os.path.dirname(__file__))

from morvex import Governor, MorvBoundary, MorvViolation, ReceiptGate
from pure_python_boundary import PyBoundary, PyReceiptGate

KEY = bytes(range(32))


def best(func, number, repeat=7):
    return min(timeit.repeat(func, number=number, repeat=repeat)) / number


def report(label, ours, anchor, anchor_label):
    print(f"{label:<40} {ours * 1e9:9.0f} ns   {anchor_label:<44} {anchor * 1e9:9.0f} ns"
          f"   ratio {ours / anchor:5.2f}")


def fill_ring(boundary, count=1100):
    for _ in range(count):
        boundary.authorize_action(1, 0.5, 1.0)


def main():
    native = MorvBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
    pure = PyBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
    fill_ring(native)
    fill_ring(pure)  # both scan a full 1024-nonce ring from here on

    authorize = native.authorize_action
    ours = best(lambda: authorize(1, 0.5, 1.0), 20_000)
    message = bytes(66)
    digest, urandom = hmac.digest, os.urandom
    anchor = best(lambda: (digest(KEY, message, "sha256"), urandom(12)), 20_000)
    report("authorize_action (admitted, full ring)", ours, anchor, "hmac.digest + os.urandom(12)")
    pure_time = best(lambda: pure.authorize_action(1, 0.5, 1.0), 200, repeat=5)
    report("authorize_action (admitted, full ring)", ours, pure_time, "pure-Python boundary (full ring)")

    governor = Governor(-1.0, 1.0)
    project = governor.project
    refused = MorvBoundary().authorize_action

    def over_speed():
        try:
            refused(1, 0.0, 9.0)
        except MorvViolation:
            pass

    refusal = best(over_speed, 20_000)
    report("authorize_action (refused over-speed)", refusal,
           best(lambda: project(0.5), 200_000), "Governor.project")

    # The floor of any exception raised from C and caught in Python.
    sqrt = math.sqrt

    def domain_error():
        try:
            sqrt(-1)
        except ValueError:
            pass

    report("authorize_action (refused over-speed)", refusal, best(domain_error, 20_000),
           "math.sqrt(-1) in try/except")

    receipt = native.authorize_action(3, 0.25, -0.5)
    verify = receipt.verify
    raw = receipt.receipt_hash
    signed = (raw[:28] + struct.pack("<Q", 6) + b"axis_3" + struct.pack("<Q", 16)
              + struct.pack("<dd", 0.25, -0.5))
    report("MorvReceipt.verify", best(lambda: verify(KEY), 50_000),
           best(lambda: digest(KEY, signed, "sha256"), 50_000), "hmac.digest of the same message")


    # The actuator side: each check is of a fresh receipt, accepted, with the nonce
    # memory full (1024 receipts accepted before the timed ones).
    issuer = MorvBoundary(rate_limit=2**64 - 1, max_velocity_rad_s=2.0, hmac_key=KEY)
    receipts = [issuer.authorize_action(3, 0.25, -0.5).receipt_hash for _ in range(1024 + 60_000)]
    gate, pure_gate = ReceiptGate(hmac_key=KEY), PyReceiptGate(KEY)
    for raw in receipts[:1024]:
        gate.check(raw, 3, 0.25, -0.5)
        pure_gate.check(raw, 3, 0.25, -0.5)
    check, pure_check = gate.check, pure_gate.check
    native_run, pure_run = iter(receipts[1024:]), iter(receipts[1024:])
    ours = best(lambda: check(next(native_run), 3, 0.25, -0.5), 5_000, repeat=5)
    pure_time = best(lambda: pure_check(next(pure_run), 3, 0.25, -0.5), 5_000, repeat=5)
    signed = (receipts[0][:28] + struct.pack("<Q", 6) + b"axis_3" + struct.pack("<Q", 16)
              + struct.pack("<dd", 0.25, -0.5))
    report("ReceiptGate.check (accepted, full memory)", ours,
           best(lambda: digest(KEY, signed, "sha256"), 50_000), "hmac.digest of the same message")
    report("ReceiptGate.check (accepted, full memory)", ours, pure_time,
           "pure-Python gate (set + deque of nonces)")


if __name__ == "__main__":
    main()
