"""A short controller loop: every command is projected into the joint's envelope, then
authorized by a MorvBoundary before it would be sent; the actuator side re-verifies receipts.

Run it with:  pip install . && python examples/controller_demo.py
"""

import hmac
import math
import struct
import time
from collections import Counter

from morvex import Governor, MonotonicCounter, MorvBoundary, MorvViolation

JOINT_LIMIT_RAD = 1.2  # the safe envelope of one joint: [-1.2, 1.2] rad
MAX_VELOCITY = 3.0     # rad/s
RATE_LIMIT = 1500      # commands per second
STEPS = 2_000
DT = 0.01              # s between planner samples

# This demo runs on the built-in trial key, the same in every process; a deployment passes its
# own 32-byte hmac_key to MorvBoundary. The trial key is derived as the README documents.
_LABEL = b"morvex default key: trials only"
TRIAL_KEY = hmac.digest(
    bytes(32),
    bytes(12) + struct.pack("<QQQ", 0, 0, len(_LABEL)) + _LABEL + struct.pack("<Q", 16) + bytes(16),
    "sha256",
)


def desired_position(step: int) -> float:
    """A planner that sometimes asks for more than the joint may do, and sometimes jerks."""
    t = step * DT
    jerk = 0.2 if step % 250 == 0 else 0.0
    return 1.6 * math.sin(t) + 0.3 * math.sin(7.3 * t) + jerk


def main() -> None:
    governor = Governor(-JOINT_LIMIT_RAD, JOINT_LIMIT_RAD)
    boundary = MorvBoundary(rate_limit=RATE_LIMIT, max_velocity_rad_s=MAX_VELOCITY)
    ticks = MonotonicCounter()
    clipped = 0
    refusals: Counter[str] = Counter()
    receipts = []
    previous = governor.project(desired_position(0))
    start = time.perf_counter()
    for step in range(1, STEPS):
        wanted = desired_position(step)
        sent = governor.project(wanted)
        ticks.next_value()
        if abs(wanted) > JOINT_LIMIT_RAD:  # more than float32 rounding was taken off
            clipped += 1
        velocity = (sent - previous) / DT
        previous = sent
        try:
            receipts.append(boundary.authorize_action(0, sent, velocity))
        except MorvViolation as refusal:  # the actuator holds its position
            refusals[refusal.violation_type] += 1
    elapsed = time.perf_counter() - start

    # The actuator side checks every receipt against the key it shares with the boundary.
    verified = sum(r.verify(TRIAL_KEY) for r in receipts)

    print("morvex controller demo")
    print(f"  envelope             [{-JOINT_LIMIT_RAD}, {JOINT_LIMIT_RAD}] rad, "
          f"max {MAX_VELOCITY} rad/s, {RATE_LIMIT} commands/s")
    print(f"  control steps        {ticks.current_value()}")
    print(f"  commands clipped     {clipped} ({100.0 * clipped / STEPS:.1f} %)")
    print(f"  commands admitted    {len(receipts)} (sequence ids {receipts[0].sequence_id}"
          f"..{receipts[-1].sequence_id})")
    print(f"  refused, speed       {refusals['velocity_exceeded']}")
    print(f"  refused, rate        {refusals['rate_limited']}")
    print(f"  receipts verified    {verified} of {len(receipts)}")
    print(f"  loop time            {1e6 * elapsed / STEPS:.2f} us per step "
          "(project + count + authorize)")


if __name__ == "__main__":
    main()
