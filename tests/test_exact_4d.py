"""The exact four-axis projection (morvex/exact_4d.h) against an oracle in exact
rational arithmetic, on a seeded corpus of problems by family; invariances that
must not move the answer; the bad-input table; the float-record drop-in.

The kernel is loaded from the libmorvex_core shared library named by
MORVEX_CORE_LIB (scripts/test.sh sets it after its CMake build)."""

import ctypes
import math
import random
import struct
import time
from fractions import Fraction

import numpy as np
import pytest

import exact_4d_support as ex
from morvex.kernels import Bounds4, Constraints4, Solution4

LIB = ex.load()
pytestmark = pytest.mark.skipif(LIB is None, reason="MORVEX_CORE_LIB is not set")
PER_FAMILY = 1500
MAX_STEPS = 64  # MORVEX_EXACT4_MAX_STEPS: past it the kernel reports 65


@pytest.mark.parametrize("family", sorted(ex.FAMILIES))
def test_matches_the_exact_minimiser(family):
    faults = []
    for k, (p, witness, infeasible) in enumerate(ex.corpus(family, PER_FAMILY)):
        status, x, steps = ex.solve(LIB, p)
        fault = ex.judge(p, status, x, witness, infeasible)
        if steps > MAX_STEPS and family != "thin_wedge":  # a thin wedge may need every working set
            fault = f"{steps} steps"
        if fault:
            faults.append((k, fault, p))
    assert not faults, f"{len(faults)} of {PER_FAMILY} wrong; first: {faults[:3]}"


@pytest.mark.parametrize("kind", ["open", "side", "several", "any"])
def test_far_commands_stay_inside(kind):
    """A command far out on an axis the box leaves open, far beyond a side of the box, far
    out on several axes at distances of their own, or any of these on limits of any family:
    every answer meets every row at itself (exact arithmetic), and the statuses and answers
    are the oracle's for d itself, none refused."""
    rng = random.Random(5)
    wrong, refused, faults, count = [], [], [], 1200
    for _ in range(count):
        p, witness, infeasible = ex.far_command(rng, kind)
        status, x, _ = ex.solve(LIB, p)
        for a, b in p[3] if status == ex.OPTIMAL and all(map(math.isfinite, x)) else ():
            if not any(a) or not math.isfinite(b):
                continue
            terms = [Fraction(ai) * Fraction(xi) for ai, xi in zip(a, x)]
            allowed = Fraction(2.0**-38) * (abs(Fraction(b)) + sum(map(abs, terms)))
            if sum(terms) - Fraction(b) > allowed:
                faults.append((f"misses {a} <= {b}", p, x))
        fault = ex.judge(p, status, x, witness, infeasible)
        if fault:
            (refused if status == ex.NUMERICAL_FAILURE else wrong).append((fault, p))
    assert not faults, faults[:3]
    assert not wrong, wrong[:3]
    assert not refused, refused[:3]


def _pow2_vector(rng):
    return [math.ldexp(1.0, rng.randint(-3, 3)) * rng.choice([1, -1]) for _ in range(4)]


def _transforms(p, rng):
    """Problems with the same minimiser (translated or permuted where said)."""
    d, lo, hi, rows = p
    m = len(rows)
    perm = rng.sample(range(4), 4)
    t = _pow2_vector(rng)
    yield "scale a row by 2^k", p, [
        (tuple(math.ldexp(v, k) for v in a), math.ldexp(b, k))
        for (a, b), k in zip(rows, [rng.randint(-66, 66) for _ in rows])], None
    yield "permute rows", p, rng.sample(rows, m), None
    if 0 < m < 4:
        yield "duplicate a row", p, rows + [rows[rng.randrange(m)]], None
    yield "permute axes", ([d[i] for i in perm], [lo[i] for i in perm], [hi[i] for i in perm]), \
        [(tuple(a[i] for i in perm), b) for a, b in rows], perm
    yield "translate by powers of two", ([v + s for v, s in zip(d, t)], [v + s for v, s in zip(lo, t)],
                                         [v + s for v, s in zip(hi, t)]), \
        [(a, b + sum(x * s for x, s in zip(a, t))) for a, b in rows], t


@pytest.mark.parametrize("family", ["generic", "dyadic", "coupled", "duplicate", "pow2_rows"])
def test_answer_is_invariant(family):
    rng = random.Random(family)
    faults = []
    for p, _, _ in ex.corpus(family, 300, seed=7):
        status, x, _ = ex.solve(LIB, p)
        scale = max([abs(v) for v in x + tuple(p[1]) + tuple(p[2]) if math.isfinite(v)] + [1e-300])
        for name, box, rows, how in _transforms(p, rng):
            st2, x2, _ = ex.solve(LIB, (*box[:3], rows))
            if how is None or name == "scale a row by 2^k":
                back = x2
            elif name == "permute axes":
                back = [0.0] * 4
                for k, i in enumerate(how):
                    back[i] = x2[k]
            else:
                back = [v - s for v, s in zip(x2, how)]
            if st2 != status or (status == ex.OPTIMAL and
                                 max(abs(u - v) for u, v in zip(x, back)) > 1e-9 * scale * 8):
                faults.append((name, p, status, x, st2, back))
    assert not faults, f"{len(faults)} changed; first: {faults[:2]}"


NAN = math.nan
BOX = ([-1.0] * 4, [1.0] * 4)
ROW = ((1.0, 1.0, 0.0, 0.0), 0.5)
_H = float.fromhex


@pytest.mark.parametrize("d, lo, hi, rows, status", [
    ([NAN, 0, 0, 0], *BOX, [ROW], ex.INVALID),
    ([0] * 4, [NAN, -1, -1, -1], BOX[1], [ROW], ex.INVALID),
    ([0] * 4, BOX[0], [1, 1, NAN, 1], [ROW], ex.INVALID),
    ([0] * 4, [-1, 2, -1, -1], [1, 1, 1, 1], [ROW], ex.INVALID),          # lower > upper
    ([0] * 4, [-1, math.inf, -1, -1], [1, math.inf, 1, 1], [], ex.INVALID),
    ([0] * 4, [-1, -math.inf, -1, -1], [1, -math.inf, 1, 1], [], ex.INVALID),
    ([0] * 4, *BOX, [((1, math.inf, 0, 0), 1.0)], ex.INVALID),
    ([0] * 4, *BOX, [((1, NAN, 0, 0), 1.0)], ex.INVALID),
    ([0] * 4, *BOX, [((1, 0, 0, 0), NAN)], ex.INVALID),
    ([math.inf, 0, 0, 0], [-1, -1, -1, -1], [math.inf, 1, 1, 1], [ROW], ex.INVALID),
    ([math.inf, 0, 0, 0], [-1, -1, -1, -1], [math.inf, 1, 1, 1], [((-1, 1, 0, 0), 0.5)], ex.OPTIMAL),
    ([0] * 4, *BOX, [((0, 0, 0, 0), -1e-300)], ex.INFEASIBLE),
    ([0] * 4, *BOX, [((0, 0, 0, 0), -0.0)], ex.OPTIMAL),
    ([0] * 4, *BOX, [((1, 0, 0, 0), -math.inf)], ex.INFEASIBLE),
    ([0] * 4, *BOX, [((1, 0, 0, 0), math.inf)], ex.OPTIMAL),
    ([0] * 4, *BOX, [((1, 0, 0, 0), -1.5)], ex.INFEASIBLE),
    ([0] * 4, *BOX, [((1, 0, 0, 0), 0.25), ((-1, 0, 0, 0), -0.25)], ex.OPTIMAL),  # touching
    ([0] * 4, *BOX, [((1, 0, 0, 0), 0.25), ((-1, 0, 0, 0), -0.2500001)], ex.INFEASIBLE),
    # An axis fixed at -1.4e305: the step length overflows to NaN with nothing to drop.
    ([-_H("1.fffffep+60"), -9, -14.75, _H("1.0100bep-109")],
     [-_H("1.fffffep+127"), -_H("1.158e46p+63"), -3, -_H("1.681818181p+1012")],
     [0, -_H("1.158e46p+63"), -3, -_H("1.681818181p+1012")],
     [((-_H("1.191918p-102"), _H("1.0c6f7ap-20"), _H("1.0c6f7ap-20"), -16), 0.0)], ex.INFEASIBLE),
    # Limits that miss each other by 65 (x0 is fixed, x1 <= 0): the command's 2^43 from
    # the answer must not widen the rows' tolerance, with or without an axis at infinity.
    ([-16, -2.0**43, 0, 0], [-4.75, -2.0**43, -1, 0], [-4.75, 0, 1, math.inf],
     [((-13.75, -15.5, 0, 0), 0.0)], ex.INFEASIBLE),
    ([-16, -2.0**43, 0, math.inf], [-4.75, -2.0**43, -1, 0], [-4.75, 0, 1, math.inf],
     [((-13.75, -15.5, 0, 0), 0.0)], ex.INFEASIBLE),
    # Touching limits (x1 = 0, x2 = -3 is the only way to meet the third row): the last
    # bit of a step leaves x1 at -2^-52, which no step can mend; it is met.
    ([2.75, 0, 7.375, 4.75], [-8, 0, -3, -6], [-2, 4, 1, -2],
     [((0.25, 0.25, 0.25, -0.5), -0.75), ((0.5, -0.25, 0.25, 0.25), -4.25),
      ((0, 0.25, 0.5, 0), -1.5)], ex.OPTIMAL),
    # x0 = -3 is the only value the first row leaves, 2^101 below a command beyond the
    # upper side: placed at the limits' scale, not refused as infeasible.
    ([2.5044746029461352e+30, 7.5, -4.75, 1.625], [-3, -1, -6, -1], [3, -1, -2, 7],
     [((0.25, 0.5, 0, 0), -1.25), ((1, -0.5, -0.75, 0.75), 3.0)], ex.OPTIMAL),
    # Rows 1e-6 apart, met within the tolerance only at points 2^300 out where a far
    # command on open axes takes its answer: infeasible whatever the command.
    ([0.5, 2.0**300, 0, 0], [-math.inf, -math.inf, -1, -1], [math.inf, math.inf, 1, 1],
     [((1, 1, 0, 0), 1.0), ((-1, -1, 0, 0), -1.000001)], ex.INFEASIBLE),
    # The answer lies farther from the clamped command than the largest double
    # (x1 = 3.4e307 for a command at -1.5e308 on an open axis): no infinite answer.
    ([-1.5843509606950699, -1.5151672215334532e+308, -0.09741810879517576,
      -1.6674056832949098e+308], [-2.1809133060476027, -math.inf, -4.668613982372657, -math.inf],
     [5.578270001820772, math.inf, -2.2856062813844398, math.inf],
     [((-0.7596794256364168, -0.8387856345720166, -0.5054053616559111, -0.26370535431591446),
       2.33645265948757)], ex.NUMERICAL_FAILURE),
    # Two open axes carry the answer 6.6e8 out, x3 is placed by the second row alone:
    # the working set's point carries the rounding of 6.6e8 into x3 until refined.
    ([-5.625, 1.625, -1319221507.679617, -4.0], [-4, -math.inf, -math.inf, -6],
     [-2, math.inf, math.inf, -4], [((-0.25, -0.25, -0.25, 0.5), 0.0),
                                    ((0.5, 0, 0, -0.75), 1.25)], ex.OPTIMAL),
    # Far out on three axes, answered at a vertex at the limits' scale (a solve that
    # fails on the moved command must not leave the answer to the far command's own).
    ([3.2523922143751576, -4.529839094950545e+150, 1522174635.7765877, -2.1905522344177002e+30],
     [-2.364441011133104, -math.inf, -math.inf, -0.6760480134116067],
     [-1.3733044692205314, math.inf, math.inf, 6.936841158232565],
     [((-1, 0, 0, 0.5), 1.6414371430986203), ((0, -2, 1, 0), -6.271975267966502),
      ((-1, -1, 0, 0), -1.3096394785643737), ((0, 0, -1, -2), 0.22936065927035895)], ex.OPTIMAL),
    # 2e18 below x0's box and 2e9 out on x1's open side, 1e301 above x3's box: the answer
    # balances the first two pulls at their own ratio (a moved command cut to 2^8 misses it).
    ([-2.0709525614598958e+18, -2093282528.802779, 8.35871529961904, 1.3413736063070436e+301],
     [-3.439908873949764, -math.inf, -0.9894416339861785, 0.1059553771402113],
     [1.7328289349287367, math.inf, 6.832190997081035, 2.7280410836288396],
     [((-0.13425199437109048, 0.5825720342372283, -0.9022818608738652, -0.8529292283353771),
       -6.972167200589069),
      ((-0.8433115152096828, -0.7082509844405946, -0.5056168443414131, -0.36443250944827876),
       1.3399538547748842),
      ((-0.9391238001336084, -0.8653287581468658, -0.6295857692732745, 0.02589623987296319),
       1.6621840182817464),
      ((-0.09569905179359162, 0.7718448887838785, 0.562300194256381, 0.842134539968898),
       0.6531627990511232)], ex.OPTIMAL),
    # x3 held at its bound by a command 1.4e301 below it, x1's open side pulling the
    # answer 4e17 out: not answered at the limits' scale.
    ([6.833707882081759, 1.202956808473604e+18, 1.700058880096598, -1.4086149869250474e+301],
     [-math.inf, -3.970795213560155, -math.inf, -2.6623208919598556],
     [5.435322966737433, math.inf, 0.969516348966925, math.inf],
     [((0.015854894739423697, 0.6718947054460931, 0.6572609170654191, -0.8694847786787729),
       -1.5815904317891938),
      ((0.450057191943394, -0.23546183811103605, 0.2858123287765624, -0.6067611992451116),
       0.3241926492854319),
      ((0.656132617653479, 0.18098939436302497, -0.3793996696548825, -0.14612777199860916),
       2.7929786691916068)], ex.OPTIMAL),
    # 1.2e301 below x3's bound (x3 open above) and 1.4e271 out on x2's open side: the
    # solve brings the first toward the box by 2^100, no longer holding x3 against x2's
    # pull, and answers another command; the certificate takes only the answer for d.
    ([-math.inf, 32.23835636764986, -1.402185170963382e+271, -1.23752106884963e+301],
     [-0.4329484516526936, -math.inf, -math.inf, -2.420143178494616], [math.inf] * 4,
     [((0.6121589268941288, -0.6784173545863126, 0.4950552229060974, 0.49195746430066345),
       4.211221344974783),
      ((0.5532434118682179, -0.22135036464293423, -0.9359484562297884, -0.7386198957084273),
       -4.652270976262771)], ex.OPTIMAL),
    # Thin wedges (rows 1 and 3 opposite up to 1e-13) with a command 9e8 out: the answer
    # lies at the vertex of all four rows, multipliers 2e22, whose refinement settles
    # slowly; not judged before it has.
    ([-326620014.2033854, 293304292.85935557, 745736331.8858941, 906251710.2433637],
     [-2.388830855836807, 0.6243469061138427, -2.1798958949720095, -0.6011343739435278],
     [3.9797847398791824, math.inf, math.inf, 4.371713234518352],
     [((-0.9687592114816079, 0.19142209620579465, 0.5366850654189033, 0.39278441355389604),
       0.4699429323536208),
      ((-0.2735422200064519, 0.3109400874460786, -0.2999538652874649, 0.8658574856459733),
       3.1966569124842095),
      ((0.45510453892260827, -0.6677199867236583, -0.044202793027800835, -0.013830884405358956),
       -0.8162425374269061),
      ((0.2735422200064473, -0.3109400874460628, 0.2999538652875059, -0.8658574856459671),
       -3.1966569124842596)], ex.OPTIMAL),
    ([907015454.0162629, -72530120.84304832, 574025157.607325, -853205185.3084457],
     [0.05941439984686436, -math.inf, -math.inf, 0.9575224996538099],
     [4.909596429257942, 4.638317236811518, math.inf, 1.7070004749905272],
     [((0.8272783444432971, -0.5424674322540939, -0.4205845573809177, 0.30846809159940486),
       0.8467870072463584),
      ((-0.9480484294180849, -0.2441299320095538, -0.3424234665667323, 0.4774065407306449),
       -4.248794986183674),
      ((0.4656821715940531, 0.16738264638859524, -0.4680880679231574, 0.3478241767634844),
       2.4916777969255004),
      ((-0.8272783444433358, 0.5424674322540965, 0.4205845573809537, -0.30846809159940114),
       -0.8467870072464581)], ex.OPTIMAL),
    # One point meets the limits, (0, 0, 0, 2^-1074), where the unit rows' right sides
    # round to 0 and their products underflow: answered from near and far, not refused.
    *[(d, [0, 0, 0, 5e-324], [0, 0, 1.5, math.inf],
       [((1048576.0, -3145728.0, -2097152.0, 1048576.0), _H("1p-1054")),
        ((-2.0**61 * 1.5, -2.0**61, 2.0**60, 2.0**60), _H("1.0000000001p-1014")),
        ((-2.0**-59, 2.0**-60, 2.0**-60, -1.5 * 2.0**-59), 0.0),
        ((2.0**-20, 2.0**-20, -3 * 2.0**-20, -3 * 2.0**-20), 0.0)], ex.OPTIMAL)
      for d in ([0, 0, 0, 2.0**-1022], [4.19, 1e-45, -1e39, 2.0**-1022])],
    # x3's bound of 3.4e38 (no limit, in float) puts a command 1e39 out on x2 within 16
    # times the limits' scale, while the rows hold the answer at 50: answered as a far
    # command, not refused as infeasible.
    ([-1.0, -4.18, 1e39, -0.0], [12.75, -4.18, 0.5, 1e-45], [2.0**53, 4.19, 255.0, 3.4028235677973366e38],
     [((2.0**-20, 2.0**-20, -3 * 2.0**-20, 3 * 2.0**-20), 2.1257400512695315e-05),
      ((1, -3, 3, 1), 19.930000000018126), ((-3, 3, 1, -3), -49.78999999999999),
      ((3, 1, -3, 1), 39.43000000003587)], ex.OPTIMAL),
    # Feasible limits at the top of the double range (x0 = 1.7e308 meets them): the
    # solve's frame overflows from a command at the other end; not called infeasible.
    ([-1.7e308, 0, 0, 0], [-1.7e308, -1, -1, -1], [1.7e308, 1, 1, 1],
     [((-1, 0, 0, 0), -1.7e308)], ex.NUMERICAL_FAILURE),
    # Rows 0 and 1 nearly parallel (a thin wedge) beside one of 2^62: a command 64 out
    # is placed against the rows' scale, whose judgement the solve's enumeration found
    # infeasible; the certificate answers. And a box reaching 1.8e308 leaves d clamped
    # into it 1.8e19 from the rows, which hold the answer at 512.
    ([1e-45, 64.0, 5e-324, 1.5], [0.0, -math.inf, 0.5, 0.0], [2.0, 2.0**-1022, 2.0**32, 2.0**32],
     [((2.0**-20, -2.0**60, -2.0, 0.0), -8.36), ((2.0**-20, -2.0**60, 2.0**20, 1.0), 4383047.680003986),
      ((-3.0, 3 * 2.0**20, 2.0**60, 2.0**61), 4.819211889256621e+18)], ex.OPTIMAL),
    ([-1.0, 2.0**64, 4.18, 2.0**-1022], [-1.0] * 4, [2.0**64, 1.7976931348623157e+308, 2.0**53, 1.0],
     [((-2.0**21, -1.0, 2.0**60, 1.0), -8787065.88), ((-8.0, 2.0**-20, 1.0, -1.0), -34.5199999999686),
      ((2.0**-60, 1.0, -2.0**-59, -3 * 2.0**60), -3.4587645138205404e+18),
      ((-2.0**-20, 1.0, 2.0**-60, 3 * 2.0**20), 3145727.999998865)], ex.OPTIMAL),
    # The answer lies at 0 on limits whose rows' right sides are subnormal: the solve's
    # first answer misses a row by 2^-202 there, and each projection again shrinks that
    # by 2^-53; twenty rounds place it (sixteen did not).
    ([2.0**128 - 2.0**104, 0.1, 2.0**-60, 0.5], [0.0, 0.0, -3.0, 0.0],
     [3.4028235677973366e+38, -0.0, 1e-45, 2.0**-1022],
     [((2.0**20, 2.0**20, 0.0, 2.0**21), 1.036131e-317), ((2.0**60, 0.0, 2.0**61, 2.0**60), 5.696189077783616e-306),
      ((0.0, 2.0**-59, 2.0**-60, -1.5 * 2.0**-59), 0.0),
      ((2.0**-19, 2.0**-20, -3 * 2.0**-20, -2.0**-19), 0.0)], ex.OPTIMAL),
    # A row whose length lies on x1, fixed at its bound, keeps 2^-61 of it on x3: the
    # solve found it dependent and the limits infeasible; the certificate answers.
    ([255.0, 4.18, 256.0, -2.0**60], [0.0, 1e-45, 64.0, -2.0**63], [255.0, 0.1, 64.0, 0.0],
     [((-1.0, 3 * 2.0**20, -2.0**20, 1.0), -66794291.199999996),
      ((2.0, 2.0**61, 1.0, -1.0), 2.305843009215792e+17)], ex.OPTIMAL),
    # The row touches the box at one corner of (x0, x1, x3), whose x3 is -2^31, while d
    # clamped into the box lies within 14 of 0 and 2^31 from d on x2: placed against that
    # scale, the far path finds the limits infeasible; the enumeration's certificate
    # answers at the corner.
    ([-1.0, -13.5, -2147483649.0, 4.19], [0.0, -2.0**31, 1.0, -2.0**31], [1.5, 0.0, 2.0**63, 1000.0],
     [((1.0, -3 * 2.0**60, 0.0, 2.0**-20), -2048.0)], ex.OPTIMAL),
    # x1's bound of 3.4e38 (no limit, in float) makes a command at 3.4e38 inside the box
    # near, while the rows pin x1 at 4.19: the solve gave up as too far for double
    # precision; placed against the rows' scale, it is answered.
    ([2.0**64, 3.4028234663852886e+38, 2.0**64, 1e-45], [2.2250738585072014e-308, 4.19, 2.0**32, 0.0],
     [2.0**63, 3.4028235677973366e+38, 2.0**63, 2.0],
     [((2.0**-60, 1.0, 8.0, -3 * 2.0**20), 34353446916.190002),
      ((2.0**-60, 2.0**20, -2.0**-60, 3.0), 4393539.440003994)], ex.OPTIMAL),
    # Limits reaching 1e300 on x3, whose rows hold x3 at 1.6e19: the loop found them
    # infeasible for a command at the origin (CoupledLimits' probe rejected them as
    # admitting no command); the certificate over every working set answers, as it does
    # for a command on x2's rows at 9e18 beside bounds of 3.4e38.
    ([0.0, 0.0, 0.0, 0.0], [0.0, -0.0, 0.5, 2.2250738585072014e-308], [2.0, 2.0**64, 3.0, 1e300],
     [((-8.0, 2.0**-60, 2.0**60, -1.0), -1.498797955988901e+19),
      ((2.0, 2.0**20, 0.0, -2.0**-60), 268435444.00024414)], ex.OPTIMAL),
    ([0.0, 0.0, 1000.0, 2.0**63], [-9.0, -9.0, 2.0**64, -13.5],
     [2.0**-60, 1e-45, 3.4028235677973366e+38, 3.4028234663852886e+38],
     [((-1.0, -3 * 2.0**20, 1.0, -3.0), 1.8446744073737867e+19),
      ((1.0, 1.0, 1.0, 8.0), 1.844674407372633e+19)], ex.OPTIMAL),
    # x2 fixed at 256 puts the row 2.8e19 over its bound, and x0 alone, free with a
    # coefficient 2^-60 of x2's, can bring it back (to 9.2e18, beside its bound): the
    # first step found that direction too short to count and the limits infeasible.
    ([-2147483649.0, -1.0, 5e-324, 4.18], [-2.0**63, 0.1, 256.0, -13.5],
     [2.0**63, 64.0, 256.0, 2.2250738585072014e-308],
     [((-3.0, 2.0**20, 2.0**60, -3.0), 2.674777890687929e+20)], ex.OPTIMAL),
    # The row is met only with x3 at its bound of 2^63, where it keeps about 2^-78 of its
    # length; the loop's multipliers, read within its tolerance in a box that wide, found
    # the limits infeasible, and now every working set decides.
    ([-2147483649.0, 1e39, -2.0**31, -2147483649.0], [-0.0, -1.0, -1.0, 2.2250738585072014e-308],
     [2.0**64, 1.0, -0.0, 2.0**63],
     [((1.0, 0.0, -2.0**60, -3 * 2.0**-20), -26388279066624.0)], ex.OPTIMAL),
    # A row nearly along one axis (its part off it 2.7e-23, then 3e-39, of its length)
    # makes a thin wedge with the box's sides across that axis; the loop found these
    # feasible limits infeasible (the first is met only with x1 at -3.9e53).
    ([0.5, 2.312801803881502, -2.594937497261603e-234, -1.0],
     [-math.inf, -math.inf, 2.067220737932651, -5.6715130009797994e-120],
     [math.inf, 0.0, 4.19, -2.2250738585072014e-308],
     [((0.0, 1.5, -5.590412042432601e+22, 0.0), -5.874788964558549e+53)], ex.OPTIMAL),
    ([-1.0, -0.906216281850643, 1.0, -4.123376040135471],
     [-0.35225614681358763, -math.inf, 1.0, 4.9266509841337904e-265],
     [math.inf, math.inf, 2.0, 7.2486416305901855],
     [((-1.0, -0.1, 3.4028234663852886e+38, 0.0), -7.878804587615686e+215)], ex.OPTIMAL),
])
def test_bad_and_edge_inputs(d, lo, hi, rows, status):
    p = ([float(v) for v in d], [float(v) for v in lo], [float(v) for v in hi], rows)
    got, x, _ = ex.solve(LIB, p)
    assert got == status
    assert status == ex.NUMERICAL_FAILURE or ex.judge(p, got, x) is None
    if status != ex.OPTIMAL:
        clamped = [lo[i] if d[i] < lo[i] else hi[i] if d[i] > hi[i] else d[i] for i in range(4)]
        assert [struct.pack("d", v) for v in x] == [struct.pack("d", float(v)) for v in clamped]


def test_row_count_and_null_pointers():
    lim, out = ex.Limits(), ex.Result()
    lim.row_count = 5
    assert LIB.morvex_exact_4d(ctypes.byref(lim), ex.D4(), ctypes.byref(out)) == ex.INVALID
    marker = ex.Result(ex.D4(7, 7, 7, 7), 9, 9)
    lim.row_count = 0
    assert LIB.morvex_exact_4d(None, ex.D4(), ctypes.byref(marker)) == ex.INVALID
    assert LIB.morvex_exact_4d(ctypes.byref(lim), None, ctypes.byref(marker)) == ex.INVALID
    assert LIB.morvex_exact_4d(ctypes.byref(lim), ex.D4(), None) == ex.INVALID
    prepared = ctypes.create_string_buffer(1024)
    assert LIB.morvex_exact_4d_prepare(ctypes.byref(lim), prepared) == ex.OPTIMAL
    for args in ((None, ex.D4(), ctypes.byref(marker)), (prepared, None, ctypes.byref(marker)),
                 (prepared, ex.D4(), None)):
        assert LIB.morvex_exact_4d_solve_rechecked(*args) == ex.INVALID
    assert (tuple(marker.x), marker.status, marker.steps) == ((7.0,) * 4, 9, 9)
    assert LIB.morvex_solve_exact_4d_f32(None, None, None, None) == -1


def _f32(v):
    return struct.unpack("f", struct.pack("f", v))[0]


def _f32_ulp(v):
    return math.ldexp(1.0, max(math.frexp(v)[1] - 24, -149)) if v else 2.0**-149


def _row_excess(a, b, u):
    return (((0.0 + a[0] * u[0]) + a[1] * u[1]) + a[2] * u[2]) + a[3] * u[3] - b


def _float_point_near(x, lo, hi, rows, reach=8):
    """Whether some float point within `reach` float ulps of x per axis (in the box)
    meets every row as evaluated in double: every such point tried."""
    axes = []
    for i in range(4):
        mid = np.float32(x[i])
        vals, up, down = {float(mid)}, mid, mid
        for _ in range(2 * reach + 1):
            up, down = np.nextafter(up, np.float32(np.inf)), np.nextafter(down, np.float32(-np.inf))
            vals |= {float(up), float(down)}
        axes.append([v for v in vals if lo[i] <= v <= hi[i] and abs(v - x[i]) <= reach * _f32_ulp(x[i])])
    grid = np.meshgrid(*[np.array(a) for a in axes], indexing="ij")
    ok = np.ones(grid[0].shape, bool)
    for a, b in rows:
        ok &= _row_excess(a, b, grid) <= 0
    return bool(ok.any())


def _float_records(lo, hi, rows):
    """The drop-in's bounds and rows records of lo, hi and rows [(a, b), ...]."""
    f4 = ctypes.c_float * 4
    return (Bounds4(f4(*lo), f4(*hi)),
            Constraints4(len(rows), (f4 * 4)(*[f4(*a) for a, _ in rows]), f4(*[b for _, b in rows])))


def _keeps_its_word(lo, hi, rows, x, u):
    """Whether the float answer u of the double answer x meets the bounds exactly and every
    row as evaluated within 8 float ulps of x, or no float point there does and u is the
    float point nearest x."""
    if not all(lo[i] <= u[i] <= hi[i] for i in range(4)):
        return False
    if (all(_row_excess(a, b, u) <= 0 for a, b in rows) and
            all(abs(u[i] - x[i]) <= 8 * _f32_ulp(x[i]) for i in range(4))):
        return True
    nearest = [min(max(_f32(v), lo[i]), hi[i]) for i, v in enumerate(x)]
    return u == nearest and not _float_point_near(x, lo, hi, rows)


@pytest.mark.parametrize("family", ["generic", "dyadic", "coupled", "duplicate", "near_tolerance",
                                    "thin_wedge"])
def test_float_records_keep_their_word(family):
    """The float drop-in: the double kernel's status on the float data; bounds met exactly;
    every row met as evaluated in double on the float answer, within 8 float ulps of the
    double answer per axis, unless no float point there does (every one tried), and then
    the float point nearest the double answer."""
    faults = []
    for p, _, _ in ex.corpus(family, 400, seed=3):
        d, lo, hi = ([_f32(v) for v in vs] for vs in p[:3])
        rows = [(tuple(_f32(v) for v in a), _f32(b)) for a, b in p[3]]
        status, x, _ = ex.solve(LIB, (d, lo, hi, rows))
        fb, fc = _float_records(lo, hi, rows)
        out = Solution4()
        assert LIB.morvex_solve_exact_4d_f32((ctypes.c_float * 4)(*d), ctypes.byref(fb),
                                             ctypes.byref(fc), ctypes.byref(out)) == 0
        u = list(out.u)
        ok = out.status == status and (status != ex.OPTIMAL or _keeps_its_word(lo, hi, rows, x, u))
        if not ok:
            faults.append((p, status, x, out.status, u))
    assert not faults, f"{len(faults)} wrong; first: {faults[:2]}"


# Generic limits on which the search of the float grid, taking the axes 0 to 3, went
# through 1,806 and 900 points of the first three axes (a light axis first) before its
# answer: about 50 times the double call.
SEARCHED_LONG = [
    ("-0x1.a9667ap+1 -0x1.2a152ap+1 -0x1.1371bp+1 0x1.e36fa2p+0",
     "-0x1.6a2f2p+1 -0x1.2aa36cp+1 -0x1.b0af18p-4 -0x1.5035acp+1",
     "0x1.c3b78ep+2 -0x1.24ad52p-1 0x1.e8bf1cp-3 0x1.ac100cp+2",
     ["-0x1.e80188p-1 -0x1.c4e86cp-2 0x1.52b5eep-4 0x1.a9be84p-1 0x1.21d432p+2",
      "-0x1.613bb6p-2 -0x1.88e10ep-3 0x1.18786p-5 -0x1.30fd9p-1 -0x1.394b42p+1",
      "-0x1.87bc86p-4 0x1.361494p-3 -0x1.e989fap-1 0x1.a842f2p-1 0x1.d7180ep+1"]),
    ("-0x1.106014p+0 -0x1.2a92c6p+2 -0x1.835316p-3 0x1.1daf66p+3",
     "-0x1.2ee776p+1 -0x1.0a4782p+1 -0x1.717dbp+1 0x1.8e026cp-3",
     "0x1.ea4802p+1 0x1.52daeep+1 0x1.89886ep-4 0x1.33f948p+3",
     ["-0x1.b4770ap-3 -0x1.b125dp-1 -0x1.c8abb2p-2 -0x1.d54974p-1 -0x1.173b92p+3",
      "-0x1.038b74p-1 0x1.9bb378p-1 -0x1.528538p-1 0x1.203b4p-1 0x1.5da93p+2",
      "0x1.30fbd6p-4 0x1.58c8fcp-3 -0x1.304b8ep-2 0x1.ce6f74p-1 0x1.0c0984p+3"]),
]


@pytest.mark.parametrize("case", SEARCHED_LONG)
def test_float_records_search_stays_short(case):
    """The drop-in's search of the float grid takes the axes the rows weigh most first,
    so these limits (no float point within reach meets the rows: every one is tried) cost
    a few times the double call, not about 50 times. The least of
    many calls of each, so that the ratio holds on a loaded machine and under the
    sanitizers (which slow both alike)."""
    d, lo, hi = ([float.fromhex(v) for v in text.split()] for text in case[:3])
    rows = [(tuple(r[:4]), r[4]) for r in ([float.fromhex(v) for v in text.split()] for text in case[3])]
    fb, fc = _float_records(lo, hi, rows)
    fd, out = (ctypes.c_float * 4)(*d), Solution4()
    lim, dd, res = ex.limits(lo, hi, rows), ex.D4(*d), ex.Result()
    float_ns = double_ns = math.inf
    for _ in range(25):
        t0 = time.perf_counter_ns()
        LIB.morvex_solve_exact_4d_f32(fd, ctypes.byref(fb), ctypes.byref(fc), ctypes.byref(out))
        t1 = time.perf_counter_ns()
        LIB.morvex_exact_4d(ctypes.byref(lim), dd, ctypes.byref(res))
        t2 = time.perf_counter_ns()
        float_ns, double_ns = min(float_ns, t1 - t0), min(double_ns, t2 - t1)
    assert out.status == res.status == ex.OPTIMAL
    assert _keeps_its_word(lo, hi, rows, list(res.x), list(out.u))
    assert float_ns < 10 * double_ns, (float_ns, double_ns)


def test_float_records_at_an_infinite_answer_end():
    """A command at +-inf on an open axis, the other axes pinned, rows 0 <= 0: the double
    answer is infinite there, no row is met as evaluated (0 * inf), and the search of the
    float grid must end with the nearest point, not try every float of the open axis (its
    reach came out NaN; found by fuzz_exact_4d)."""
    for d0 in (math.inf, -math.inf):
        d, lo, hi, rows = [d0, 0, 0, 0], [-math.inf, -7.25, 0, 0], [math.inf, -7.25, 0, 0], [((0,) * 4, 0)] * 3
        status, x, _ = ex.solve(LIB, (d, lo, hi, rows))
        fc = Constraints4(3, ((ctypes.c_float * 4) * 4)(), (ctypes.c_float * 4)())
        out = Solution4()
        assert LIB.morvex_solve_exact_4d_f32((ctypes.c_float * 4)(*d), ctypes.byref(Bounds4(
            (ctypes.c_float * 4)(*lo), (ctypes.c_float * 4)(*hi))), ctypes.byref(fc), ctypes.byref(out)) == 0
        assert (out.status, list(out.u)) == (status, [d0, -7.25, 0, 0]) and x[0] == d0


def test_nearly_dependent_working_sets_stay_in_the_loop():
    """Rows whose parts on the free axes are nearly parallel (coefficients 1e-5 against
    79, d = -inf on an axis with a finite bound): a solver that factorises the Gram
    matrix of the working rows squares their conditioning, takes a spurious step and
    falls back to enumerating every working set. The orthonormal basis keeps the loop
    on track; so must every transform of the problem."""
    p = ([1e-5, 1e-5, -math.inf, 1e-5], [-4.75, 1e-5, -5.25, 5.42101086242752217e-25],
         [11.25, 7.25001, math.inf, 1e-5],
         [((-79, 1e-5, 1e-5, 1e-5), 1e-5), ((1e-5, 1.17549435082228751e-38, 1e-5, 1e-5), 1e-5),
          ((1e-5, 1e-5, 0, 0), 0)])
    cases = [p] + [(*box[:3], rows) for seed in range(10)
                   for _, box, rows, _ in _transforms(p, random.Random(seed))]
    faults = []
    for q in cases:
        status, x, steps = ex.solve(LIB, q)
        fault = ex.judge(q, status, x)
        if fault or steps > MAX_STEPS:
            faults.append((q, status, steps, fault))
    assert not faults, f"{len(faults)} of {len(cases)}; first: {faults[:2]}"
