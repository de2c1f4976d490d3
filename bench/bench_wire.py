"""The wire codec against the authorization it carries.

Times, in one run, one admitted MorvBoundary.authorize_action (full nonce ring), and
encode_command + Decoder.feed of that command frame: morvex.wire (the C codec in
morvex._actuator) and the same codec in pure Python (tests/wire_reference.py: struct and
the mask and COBS, with zlib's binascii.crc32 in place of its table CRC-32C, the cheapest checksum
pure Python has). Prints ratios (below 1 means cheaper). Rounds alternate between the
candidates so that the load of a shared machine falls on all of them.

Run: python bench/bench_wire.py
"""

import binascii
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import wire_reference as pure  # noqa: E402
from morvex import MorvBoundary  # noqa: E402
from morvex.wire import Decoder, encode_command  # noqa: E402

pure.crc32c = binascii.crc32
KEY = bytes(range(32))


def main():
    boundary = MorvBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
    for _ in range(1100):
        boundary.authorize_action(1, 0.5, 1.0)
    authorize = boundary.authorize_action
    receipt = authorize(3, 0.7071067811865476, -1.25).receipt_hash
    ours, theirs = Decoder(), pure.Decoder()
    feed, pure_feed, pure_encode = ours.feed, theirs.feed, pure.encode_command
    assert feed(encode_command(3, 0.7071067811865476, -1.25, receipt)) == [
        tuple(f) for f in pure_feed(pure_encode(3, 0.7071067811865476, -1.25, receipt))]

    candidates = {
        "authorize_action (admitted, full ring)": (lambda: authorize(1, 0.5, 1.0), 20_000),
        "encode_command + Decoder.feed": (
            lambda: feed(encode_command(3, 0.7071067811865476, -1.25, receipt)), 50_000),
        "the same in pure Python": (
            lambda: pure_feed(pure_encode(3, 0.7071067811865476, -1.25, receipt)), 5_000),
        "encode_command alone": (
            lambda: encode_command(3, 0.7071067811865476, -1.25, receipt), 50_000),
    }
    best = {name: float("inf") for name in candidates}
    for _ in range(7):
        for name, (fn, number) in candidates.items():
            best[name] = min(best[name], timeit.timeit(fn, number=number) / number)
    anchor = best["authorize_action (admitted, full ring)"]
    for name, seconds in best.items():
        print(f"{name:<42} {seconds * 1e9:8.0f} ns   ratio to authorize_action {seconds / anchor:5.2f}")


if __name__ == "__main__":
    main()
