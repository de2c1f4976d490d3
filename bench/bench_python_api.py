"""Per-call cost of Governor and MonotonicCounter against what a user would write instead.

Prints ratios (ours / anchor); absolute times on a shared machine are noise.
Run: python bench/bench_python_api.py
"""

import array
import itertools
import math
import random
import timeit

from morvex import Governor, MonotonicCounter


def best(stmt, number, repeat=7, **names):
    timer = timeit.Timer(stmt, globals=names)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def report(label, ours, anchor, anchor_label):
    print(f"{label:<44} {ours * 1e9:10.1f} ns   {anchor_label:<38} {anchor * 1e9:10.1f} ns"
          f"   ratio {ours / anchor:5.2f}")


def main():
    g = Governor(-1.0, 1.0)
    lo, hi = -1.0, 1.0
    x = 0.37
    n = 200_000
    project = best("project(x)", n, project=g.project, x=x)
    copysign = best("copysign(x, 1.0)", n, copysign=math.copysign, x=x)
    minmax = best("min(max(x, lo), hi)", n, x=x, lo=lo, hi=hi)
    report("Governor.project(x)", project, copysign, "math.copysign(x, 1.0)")
    report("Governor.project(x)", project, minmax, "min(max(x, lo), hi)")

    xs = [random.uniform(-2.0, 2.0) for _ in range(1_000_000)]
    batch = best("project_batch(xs)", 1, repeat=5, project_batch=g.project_batch, xs=xs)
    narrow = best("array('f', xs).tolist()", 1, repeat=5, array=array.array, xs=xs)
    compr = best("[min(max(v, lo), hi) for v in xs]", 1, repeat=3, xs=xs, lo=lo, hi=hi)
    report("Governor.project_batch(10^6 floats)", batch, narrow, "array('f', xs).tolist()")
    report("Governor.project_batch(10^6 floats)", batch, compr, "[min(max(v,lo),hi) for v in xs]")

    counter = MonotonicCounter()
    ours = best("next_value()", n, next_value=counter.next_value)
    anchor = best("next(it)", n, next=next, it=itertools.count())
    report("MonotonicCounter.next_value()", ours, anchor, "next(itertools.count())")


if __name__ == "__main__":
    main()
