"""The source distribution: every tracked file except the fuzzing seeds, built through the
package's own build backend."""

import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
LEFT_OUT = "fuzz/corpus/"


def tracked_files():
    if shutil.which("git") is None:
        return None
    listing = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True)
    return set(listing.stdout.decode().split("\0")) - {""} if listing.returncode == 0 else None


def test_sdist_holds_the_tracked_sources_but_not_the_fuzzing_corpus(tmp_path):
    pytest.importorskip("scikit_build_core")
    tracked = tracked_files()
    if not tracked:
        pytest.skip("not a git checkout")
    assert any(name.startswith(LEFT_OUT) for name in tracked)
    built = subprocess.run(
        [sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist;"
         "print(build_sdist(sys.argv[1]))", str(tmp_path)],
        cwd=ROOT, capture_output=True, text=True, timeout=300, check=True)
    with tarfile.open(tmp_path / built.stdout.split()[-1]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert [name for name in names if name.startswith(LEFT_OUT)] == []
    assert sorted(name for name in tracked - names if not name.startswith(LEFT_OUT)) == []
