"""Governor: commands narrowed to float32 and clamped into the envelope."""

import math
import struct

import numpy as np
import pytest
from helpers import f32, governor_projection
from hypothesis import given
from hypothesis import strategies as st
from morvex import Governor


def bits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize(
    "x, expected", [(0.5, 0.5), (-3, 0.0), (7, 1.0), (0.0, 0.0), (1.0, 1.0), (True, 1.0)]
)
def test_unit_envelope(x, expected):
    assert Governor(0.0, 1.0).project(x) == expected


def test_single_precision_result():
    assert Governor(0.0, 1.0).project(0.1) == 0.10000000149011612


@pytest.mark.parametrize(
    "lo, hi",
    [(1.0, 1.0), (2.0, 1.0), (float("nan"), 1.0), (0.0, float("nan")), (1.0, 1.0 + 1e-12),
     (1e39, 2e39), (float("inf"), float("inf"))],
)
def test_empty_or_nan_envelope_is_refused(lo, hi):
    with pytest.raises(ValueError) as info:
        Governor(lo, hi)
    assert str(info.value) == "min_bound must be strictly less than max_bound"


def test_bounds_beyond_float32_become_infinite():
    g = Governor(-1e39, 1e39)
    assert g.project(1e39) == math.inf
    assert g.project(-math.inf) == -math.inf
    assert g.project(3.5e38) == math.inf  # narrows to +inf, which is inside [-inf, inf]


def test_nan_in_nan_out():
    g = Governor(0.0, 1.0)
    assert math.isnan(g.project(float("nan")))
    assert math.isnan(g.project_batch([float("nan")])[0])


def test_signed_zero_kept_inside_the_envelope():
    g = Governor(-1.0, 1.0)
    assert bits(g.project(-0.0)) == bits(-0.0)
    assert bits(Governor(0.0, 1.0).project(-0.0)) == bits(-0.0)  # -0.0 is not below 0.0


def test_batch_examples():
    g = Governor(0.0, 1.0)
    assert g.project_batch([]) == []
    assert g.project_batch((-1.0, 0.5, 2.0)) == [0.0, 0.5, 1.0]
    assert g.project_batch(b"\x00\x02") == [0.0, 1.0]
    result = g.project_batch([0.25] * 3)
    assert type(result) is list and all(type(v) is float for v in result)


finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
anything = st.floats(allow_nan=True, allow_infinity=True, width=64)


@given(x=anything, a=finite, b=finite)
def test_project_matches_float32_reference(x, a, b):
    lo, hi = sorted((a, b))
    if not f32(lo) < f32(hi):
        return
    g = Governor(lo, hi)
    got = g.project(x)
    want = governor_projection(x, lo, hi)
    if math.isnan(want):
        assert math.isnan(got)
    else:
        assert bits(got) == bits(want)


SPECIALS = [0.0, -0.0, 1e-45, -1e-45, 1.17549435e-38, 3.4028235e38, -3.4028235e38, 3.5e38,
            math.inf, -math.inf, float("nan"), -float("nan"), 0.1, -7.25, 1e300, -1e-300]


@pytest.mark.parametrize("lo, hi", [(-1.0, 1.0), (0.0, 1e-44), (-math.inf, math.inf),
                                    (-3e38, -1e-40), (1e-45, 3e-45)])
def test_batch_is_bit_identical_to_project(lo, hi):
    g = Governor(lo, hi)
    rng = np.random.default_rng(7)
    values = SPECIALS + list(rng.standard_normal(5000) * 10.0 ** rng.integers(-40, 40, 5000))
    batch = g.project_batch(values)
    singles = [g.project(v) for v in values]
    assert [bits(v) for v in batch] == [bits(v) for v in singles]
    assert all(
        (math.isnan(got) and math.isnan(ref)) or bits(got) == bits(ref)
        for got, ref in zip(batch, (governor_projection(v, lo, hi) for v in values))
    )


def test_large_batch_against_numpy():
    g = Governor(-0.5, 0.75)
    rng = np.random.default_rng(11)
    values = rng.standard_normal(200_000)
    expected = np.clip(values.astype(np.float32), np.float32(-0.5), np.float32(0.75))
    assert g.project_batch(values.tolist()) == expected.astype(np.float64).tolist()
