"""A short controller loop: every command goes through a Governor before it is sent.

Run it with:  pip install . && python examples/controller_demo.py
"""

import math
import time

from morvex import Governor, MonotonicCounter

JOINT_LIMIT_RAD = 1.2  # the safe envelope of one joint: [-1.2, 1.2] rad
STEPS = 2_000


def desired_position(step: int) -> float:
    """A planner that sometimes asks for more than the joint may do."""
    t = step / 100.0
    return 1.6 * math.sin(t) + 0.3 * math.sin(7.3 * t)


def main() -> None:
    governor = Governor(-JOINT_LIMIT_RAD, JOINT_LIMIT_RAD)
    ticks = MonotonicCounter()
    clipped = 0
    worst = 0.0
    start = time.perf_counter()
    for step in range(STEPS):
        wanted = desired_position(step)
        sent = governor.project(wanted)
        ticks.next_value()
        if abs(wanted) > JOINT_LIMIT_RAD:  # sent differs from wanted by more than float32 rounding
            clipped += 1
            worst = max(worst, abs(wanted - sent))
    elapsed = time.perf_counter() - start

    batch = [desired_position(step) for step in range(STEPS)]
    projected = governor.project_batch(batch)

    print("morvex controller demo")
    print(f"  envelope             [{-JOINT_LIMIT_RAD}, {JOINT_LIMIT_RAD}] rad")
    print(f"  control steps        {ticks.current_value()}")
    print(f"  commands clipped     {clipped} ({100.0 * clipped / STEPS:.1f} %)")
    print(f"  largest correction   {worst:.4f} rad")
    print(f"  batch agrees         {projected == [governor.project(v) for v in batch]}")
    print(f"  loop time            {1e6 * elapsed / STEPS:.2f} us per step (project + count)")


if __name__ == "__main__":
    main()
