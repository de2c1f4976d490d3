#!/usr/bin/env bash
# Runs the project's tests after installing what they need; safe to run again.
#
#   bash scripts/test.sh          does the code work? (about 4 minutes on two cores)
#   bash scripts/test.sh --full   everything CI checks (about 25 minutes on two cores)
#
# Both: the C++ tests (GoogleTest through CTest), the whole pytest suite on the installed
# package (the README's Python samples among it) and mypy's stubtest of the type stubs.
# --full adds:
#   1. the same C++ tests and the pytest suite again, built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (the sanitizer runtime preloaded into Python);
#   2. a bounded fuzzing run of every target in fuzz/ (scripts/fuzz.sh; FUZZ_SECONDS per target);
#   3. the pytest suite under valgrind memcheck for leaks and memory errors in our code
#      (scripts/valgrind_leaks.sh, on the installed package);
#   4. the release artefacts (scripts/release_check.sh): sdist and wheel built, their metadata
#      checked, the wheel repaired to its manylinux tag, installed into a fresh virtual
#      environment without building anything, and the pytest suite run against it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_root=${MORVEX_TEST_BUILD_DIR:-"$root/build"}
jobs=$(nproc)
full=0
case "${1:-}" in
  "") ;;
  --full) full=1 ;;
  *) echo "usage: bash scripts/test.sh [--full]" >&2; exit 2 ;;
esac
started=$(date +%s)

source scripts/apt_packages.sh
ensure_apt_packages cmake ninja-build g++ libgtest-dev libbenchmark-dev libssl-dev valgrind binutils
# The firmware's toolchain (the C++ library's headers too: the security library is C++)
# and emulator, without what Debian recommends beside them.
ensure_apt_packages --no-install-recommends gcc-arm-none-eabi libnewlib-arm-none-eabi \
  libstdc++-arm-none-eabi-newlib qemu-system-arm

echo "== installing Python test dependencies and the package"
python3 -m pip install -q --disable-pip-version-check pytest hypothesis numpy mypy pyserial
# A build directory kept between runs, so that a second run rebuilds only what changed.
python3 -m pip install -q --disable-pip-version-check -C build-dir="$build_root/pip" .

# run_ctest BUILD_DIR: prints CTest's summary, or its whole log on failure.
run_ctest() {
  local log="$1/ctest.log"
  if ! ctest --test-dir "$1" --output-on-failure -j"$jobs" >"$log" 2>&1; then
    cat "$log"
    return 1
  fi
  tail -n 3 "$log"
}

echo "== C++ tests"
cmake -S . -B "$build_root/tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DMORVEX_BUILD_TESTS=ON -DMORVEX_WERROR=ON >/dev/null
cmake --build "$build_root/tests" -j"$jobs"
run_ctest "$build_root/tests"

echo "== Python tests"
# From outside the source tree, so that the installed package is the one imported.
# MORVEX_CORE_LIB: the libmorvex_core just built, for the tests of kernels that only
# the C library exports (tests/test_exact_4d.py).
(cd "$build_root" && MORVEX_CORE_LIB="$build_root/tests/libraries/morvex-core/libmorvex_core.so" \
  python3 -m pytest "$root/tests" -q -p no:cacheprovider)

echo "== type stubs against the installed package (mypy stubtest)"
# Every module of the package, so that a new module or extension is checked as well.
(cd "$build_root" && python3 -m mypy.stubtest morvex)

if ((!full)); then
  echo "== quick tests passed in $(($(date +%s) - started)) s (bash scripts/test.sh --full runs everything)"
  exit 0
fi

echo "== C++ and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer"
san="$build_root/sanitize"
cmake -S . -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEX_BUILD_TESTS=ON \
  -DMORVEX_BUILD_EXTENSION=ON -DMORVEX_SANITIZE=ON -DMORVEX_WERROR=ON >/dev/null
cmake --build "$san" -j"$jobs"
run_ctest "$san"
rm -rf "$san/python" && mkdir -p "$san/python/morvex"
cp python/morvex/*.py python/morvex/*.pyi python/morvex/py.typed "$san/python/morvex/"
cp "$san"/extension/_morvex*.so "$san"/extension/_actuator*.so "$san/python/morvex/"
(
  cd "$san"
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  export PYTHONMALLOC=malloc PYTHONPATH="$san/python"
  export MORVEX_CORE_LIB="$san/libraries/morvex-core/libmorvex_core.so"
  python3 -c "import morvex._morvex as m, sys; assert m.__file__.startswith(sys.argv[1]), m.__file__" "$san"
  python3 -m pytest "$root/tests" -q -p no:cacheprovider
)

echo "== fuzzing (${FUZZ_SECONDS:-60} s per target)"
bash scripts/fuzz.sh

echo "== leak check under valgrind memcheck"
bash scripts/valgrind_leaks.sh

echo "== release artefacts: sdist, wheel, manylinux repair, install without building"
MORVEX_CORE_LIB="$build_root/tests/libraries/morvex-core/libmorvex_core.so" \
  bash scripts/release_check.sh "$build_root/release"

echo "== every test passed in $(($(date +%s) - started)) s"
