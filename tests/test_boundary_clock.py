"""Rate window, timestamps and random-source failures under a controlled clock.

Each scenario runs in a child process with a small LD_PRELOAD shim that reads the
wall clock, and the failure of the random source, from files the test writes.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SHIM_SOURCE = Path(__file__).parent / "shims" / "fake_os.c"
T0 = 1_700_000_000_123_456_789


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the clock shim")
    out = tmp_path_factory.mktemp("shim") / "fake_os.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(SHIM_SOURCE), "-ldl"],
                   check=True)
    return out


PRELUDE = """
import json, os
from morvex import MorvBoundary, MorvViolation

def set_clock(ns):
    with open(os.environ["MORVEX_FAKE_CLOCK_FILE"], "w") as f:
        f.write(str(ns))

def fail_random(error_number):
    with open(os.environ["MORVEX_FAKE_GETRANDOM_FILE"], "w") as f:
        f.write("" if error_number is None else str(error_number))

def attempt(boundary, axis=1, velocity=0.0):
    try:
        r = boundary.authorize_action(axis, 0.0, velocity)
        return [r.sequence_id, r.timestamp_nanos]
    except MorvViolation as e:
        return e.violation_type
    except RuntimeError as e:
        return "RuntimeError: " + str(e)

out = []
"""


def run_scenario(shim, tmp_path, body):
    clock_file, random_file = tmp_path / "clock", tmp_path / "random"
    clock_file.write_text("")
    random_file.write_text("")
    # After whatever is preloaded already (a sanitizer runtime must stay first).
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = dict(os.environ, LD_PRELOAD=preload, MORVEX_FAKE_CLOCK_FILE=str(clock_file),
               MORVEX_FAKE_GETRANDOM_FILE=str(random_file))
    code = PRELUDE + textwrap.dedent(body) + "\nprint(json.dumps(out))\n"
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_window_edges(shim, tmp_path):
    out = run_scenario(shim, tmp_path, f"""
        set_clock({T0})
        b = MorvBoundary(rate_limit=3)
        for dt in (0, 1, 2, 3, 999_999_999):
            set_clock({T0} + dt); out.append(attempt(b))
        for dt in (1_000_000_000, 1_000_000_001, 1_999_999_999, 1_999_999_999):
            set_clock({T0} + dt); out.append(attempt(b))
    """)
    assert out == [
        [1, T0], [2, T0 + 1], [3, T0 + 2], "rate_limited", "rate_limited",
        [4, T0 + 1_000_000_000], [5, T0 + 1_000_000_001], [6, T0 + 1_999_999_999], "rate_limited",
    ]


def test_refusals_do_not_move_the_window(shim, tmp_path):
    out = run_scenario(shim, tmp_path, f"""
        set_clock({T0})
        b = MorvBoundary(rate_limit=1)
        out.append(attempt(b))
        for dt in range(1, 900_000_000, 100_000_000):
            set_clock({T0} + dt); out.append(attempt(b))
        set_clock({T0} + 1_000_000_000); out.append(attempt(b))
    """)
    assert out[0] == [1, T0]
    assert out[1:-1] == ["rate_limited"] * 9
    assert out[-1] == [2, T0 + 1_000_000_000]


def test_clock_going_backwards_starts_a_new_window(shim, tmp_path):
    out = run_scenario(shim, tmp_path, f"""
        set_clock({T0})
        b = MorvBoundary(rate_limit=1)
        out.append(attempt(b))
        set_clock({T0} - 5); out.append(attempt(b))
        set_clock({T0} - 4); out.append(attempt(b))
        set_clock({T0} - 5 + 1_000_000_000); out.append(attempt(b))
    """)
    assert out == [[1, T0], [2, T0 - 5], "rate_limited", [3, T0 - 5 + 1_000_000_000]]


def test_clock_before_the_epoch_reads_zero(shim, tmp_path):
    out = run_scenario(shim, tmp_path, """
        set_clock(-5)
        b = MorvBoundary(rate_limit=2)
        out.append(attempt(b)); out.append(attempt(b)); out.append(attempt(b))
    """)
    assert out == [[1, 0], [2, 0], "rate_limited"]


def test_rate_limit_zero_refuses_every_window(shim, tmp_path):
    out = run_scenario(shim, tmp_path, f"""
        set_clock({T0})
        b = MorvBoundary(rate_limit=0)
        for dt in (0, 500_000_000, 1_000_000_000, 1_000_000_001, 5_000_000_000):
            set_clock({T0} + dt); out.append(attempt(b))
    """)
    assert out == ["rate_limited"] * 5


def test_velocity_refusals_are_not_counted(shim, tmp_path):
    out = run_scenario(shim, tmp_path, f"""
        set_clock({T0})
        b = MorvBoundary(rate_limit=1)
        out.append(attempt(b, velocity=9.0))
        out.append(attempt(b, velocity=float("nan")))
        out.append(attempt(b))
    """)
    assert out == ["velocity_exceeded", "velocity_exceeded", [1, T0]]


@pytest.mark.parametrize(
    "error_number, text",
    [(5, os.strerror(5)), (11, os.strerror(11)), (0, "errno: did not return a positive value"),
     (4000, "OS Error: 4000")],
)
def test_random_source_failure(shim, tmp_path, error_number, text):
    out = run_scenario(shim, tmp_path, f"""
        set_clock({T0})
        b = MorvBoundary(rate_limit=2)
        fail_random({error_number})
        out.append(attempt(b))
        fail_random(None)
        out.append(attempt(b))
        out.append(attempt(b))
    """)
    # The failed request consumed sequence number 1 and counted in the window.
    assert out == [f"RuntimeError: failed to generate nonce: {text}", [2, T0], "rate_limited"]
