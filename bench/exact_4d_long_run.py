"""The long accuracy run of the exact four-axis projection (morvex/exact_4d.h):
hundreds of thousands of problems of the test corpus families (tests/exact_4d_support.py),
each judged by the rational-arithmetic oracle there, on seeds the test suite does not use.

    MORVEX_CORE_LIB=build/libraries/morvex-core/libmorvex_core.so \\
        python3 bench/exact_4d_long_run.py --per-family 40000 --jobs 2

Prints, per family: problems, exact answers (optimal within 1e-9 of the exact minimiser
relative to the scale of the limits), correct refusals (infeasible or invalid input
where the oracle says so), inexact answers (right status, answer off by more), wrong
statuses, answers outside the box, the largest step count and how many calls reached the
enumeration. Exits 1 when any answer is not exact or a status is wrong."""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import exact_4d_support as ex  # noqa: E402

CHUNK = 2000
FIRST_SEED = 100_000  # the test suite uses small seeds
ENUMERATED = 65       # MORVEX_EXACT4_MAX_STEPS + 1
KEYS = ("problems", "exact", "refused", "inexact", "wrong_status", "outside", "max_steps",
        "enumerated")


def run_chunk(job):
    family, seed, count = job
    lib = ex.load()
    tally = dict.fromkeys(KEYS, 0)
    faults = []
    for p, witness, infeasible in ex.corpus(family, count, seed=seed):
        status, x, steps = ex.solve(lib, p)
        fault = ex.judge(p, status, x, witness, infeasible)
        tally["problems"] += 1
        tally["max_steps"] = max(tally["max_steps"], steps)
        tally["enumerated"] += steps == ENUMERATED
        if fault is None:
            tally["exact" if status == ex.OPTIMAL else "refused"] += 1
            continue
        kind = ("inexact" if fault.startswith("off by") else
                "outside" if fault.startswith("axis") else "wrong_status")
        tally[kind] += 1
        if len(faults) < 3:
            faults.append((family, seed, kind, fault, p))
    return family, tally, faults


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--per-family", type=int, default=40_000)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--families", nargs="*", default=sorted(ex.FAMILIES))
    args = ap.parse_args()
    if ex.load() is None:
        sys.exit("set MORVEX_CORE_LIB to a built libmorvex_core shared library")
    jobs = []
    for family in args.families:
        left, seed = args.per_family, FIRST_SEED
        while left > 0:
            jobs.append((family, seed, min(CHUNK, left)))
            left -= CHUNK
            seed += 1
    totals = {f: dict.fromkeys(KEYS, 0) for f in args.families}
    faults = []
    started = time.monotonic()
    with multiprocessing.Pool(args.jobs) as pool:
        for family, tally, found in pool.imap_unordered(run_chunk, jobs):
            t = totals[family]
            for k in KEYS:
                t[k] = max(t[k], tally[k]) if k == "max_steps" else t[k] + tally[k]
            faults.extend(found)
    elapsed = time.monotonic() - started
    print(f"| family | problems | exact | refused | inexact | wrong status | outside box "
          f"| max steps | enumerated |")
    print("|---|---|---|---|---|---|---|---|---|")
    total = dict.fromkeys(KEYS, 0)
    for family in args.families:
        t = totals[family]
        print("| " + " | ".join([family] + [str(t[k]) for k in KEYS]) + " |")
        for k in KEYS:
            total[k] = max(total[k], t[k]) if k == "max_steps" else total[k] + t[k]
    print("| " + " | ".join(["all"] + [str(total[k]) for k in KEYS]) + " |")
    print(f"{elapsed:.0f} s with {args.jobs} jobs")
    for f in faults[:20]:
        print("fault:", f)
    bad = total["inexact"] + total["wrong_status"] + total["outside"]
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
