#!/usr/bin/env bash
# Runs every test of the project, C++ (GoogleTest through CTest) and Python
# (pytest), after installing what they need. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${MORVEX_TEST_BUILD_DIR:-"$root/build/tests"}

apt_packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libssl-dev valgrind)
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "== installing Debian packages: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

echo "== installing Python test dependencies and the package"
python3 -m pip install -q --disable-pip-version-check pytest hypothesis numpy
python3 -m pip install -q --disable-pip-version-check .

echo "== C++ tests"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DMORVEX_BUILD_TESTS=ON -DMORVEX_WERROR=ON >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ctest_log="$build_dir/ctest.log"
if ! ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" >"$ctest_log" 2>&1; then
  cat "$ctest_log"
  exit 1
fi
tail -n 3 "$ctest_log"

echo "== Python tests"
# Run from outside the source tree so the installed package is the one imported.
cd "$build_dir"
python3 -m pytest "$root/tests" -q -p no:cacheprovider
