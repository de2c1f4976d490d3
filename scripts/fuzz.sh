#!/usr/bin/env bash
# Builds and runs the fuzz targets of fuzz/ for a bounded time each, and fails
# on any crash, sanitizer report or violated property.
#
#   bash scripts/fuzz.sh                       # 60 s per target (CI)
#   FUZZ_SECONDS=3600 bash scripts/fuzz.sh     # an hour per target
#   FUZZ_TARGETS="fuzz_interceptor" bash scripts/fuzz.sh
#
# Targets: fuzz_active_set, fuzz_multivar_4d, fuzz_exact_4d, fuzz_interceptor,
# fuzz_receipt_gate, fuzz_wire (libFuzzer, clang,
# AddressSanitizer + UndefinedBehaviorSanitizer) and fuzz_python_api (atheris,
# against a copy of the extension built with the sanitizers; plain random
# inputs where atheris cannot be installed). Everything is built and run under
# $FUZZ_BUILD_DIR (default build/fuzz): the corpus grown there is reused by the
# next run; the seeds in fuzz/corpus/ are only read. Failing inputs are saved
# as $FUZZ_BUILD_DIR/artifacts/<target>-crash-*. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-"$root/build/fuzz"}
targets=${FUZZ_TARGETS:-"fuzz_active_set fuzz_multivar_4d fuzz_exact_4d fuzz_interceptor fuzz_receipt_gate fuzz_wire fuzz_python_api"}
jobs=2
python=${PYTHON:-python3}
started=$(date +%s)

# ---- tools -------------------------------------------------------------------
source scripts/apt_packages.sh
ensure_apt_packages clang-14 libclang-rt-14-dev cmake ninja-build g++

have_atheris=1
if ! "$python" -c "import atheris" 2>/dev/null; then
  echo "== installing atheris"
  "$python" -m pip install -q --disable-pip-version-check atheris || have_atheris=0
  "$python" -c "import atheris" 2>/dev/null || have_atheris=0
fi
((have_atheris)) || echo "== atheris is not available: fuzz_python_api runs on plain random inputs"

wants() { [[ " $targets " == *" $1 "* ]]; }

# ---- build ---------------------------------------------------------------------
mkdir -p "$build/artifacts" "$build/logs"
native=()
for t in fuzz_active_set fuzz_multivar_4d fuzz_exact_4d fuzz_interceptor fuzz_receipt_gate fuzz_wire; do wants "$t" && native+=("$t"); done
if ((${#native[@]})); then
  echo "== building the libFuzzer targets (clang-14)"
  cmake -S fuzz -B "$build/targets" -G Ninja -DCMAKE_C_COMPILER=clang-14 \
    -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
  cmake --build "$build/targets" -j"$jobs" --target "${native[@]}" >"$build/logs/build-targets.log" 2>&1 ||
    { cat "$build/logs/build-targets.log"; exit 1; }
fi

pkg_dir="$build/python-pkg"
if wants fuzz_python_api; then
  echo "== building the extension with AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake -S . -B "$build/python-ext" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORVEX_BUILD_EXTENSION=ON -DMORVEX_SANITIZE=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
  cmake --build "$build/python-ext" -j"$jobs" --target _morvex _actuator >"$build/logs/build-ext.log" 2>&1 ||
    { cat "$build/logs/build-ext.log"; exit 1; }
  rm -rf "$pkg_dir" && mkdir -p "$pkg_dir/morvex"
  cp python/morvex/*.py "$pkg_dir/morvex/"
  cp "$build"/python-ext/extension/_morvex*.so "$build"/python-ext/extension/_actuator*.so "$pkg_dir/morvex/"
  # libFuzzer as a shared object, preloaded before the AddressSanitizer runtime:
  # that runtime defines the coverage callbacks too (as weak no-ops), and
  # whichever comes first in the search order serves atheris, which then runs
  # blind (no input ever counts as new). With libFuzzer first it gets coverage.
  fuzzer_so="$build/libfuzzer_no_main.so"
  fuzzer_a="$(clang-14 --print-runtime-dir)/libclang_rt.fuzzer_no_main-x86_64.a"
  if [ ! -f "$fuzzer_so" ] || [ "$fuzzer_a" -nt "$fuzzer_so" ]; then
    g++ -shared -o "$fuzzer_so" -Wl,--whole-archive "$fuzzer_a" -Wl,--no-whole-archive \
      -lstdc++ -ldl -lpthread -lm >"$build/logs/build-libfuzzer.log" 2>&1 || rm -f "$fuzzer_so"
  fi
fi

# ---- run -----------------------------------------------------------------------
declare -A executions verdict
failed=0

run_target() {
  local t=$1 log="$build/logs/$1.log" corpus="$build/corpus/$1" seeds="$root/fuzz/corpus/$1"
  mkdir -p "$corpus"
  # New inputs go to the first directory only: the committed seeds stay as they are.
  local options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30
    -artifact_prefix="$build/artifacts/$t-" "$corpus")
  [ -d "$seeds" ] && options+=("$seeds")
  echo "== $t: ${seconds} s"
  local rc=0
  if [ "$t" = fuzz_python_api ]; then
    local asan
    asan=$(g++ -print-file-name=libasan.so)
    if ((have_atheris)); then
      local preload="$asan" asan_options=detect_leaks=0:quarantine_size_mb=64
      if [ -f "$build/libfuzzer_no_main.so" ]; then
        preload="$build/libfuzzer_no_main.so $asan"
        asan_options+=:verify_asan_link_order=0
      else
        echo "   (libFuzzer could not be built as a shared object: atheris runs without coverage)"
      fi
      env PYTHONPATH="$pkg_dir" PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
        ASAN_OPTIONS="$asan_options" \
        "$python" fuzz/fuzz_python_api.py -rss_limit_mb=8192 "${options[@]}" >"$log" 2>&1 || rc=$?
    else
      env PYTHONPATH="$pkg_dir" PYTHONMALLOC=malloc LD_PRELOAD="$asan" \
        ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=64 \
        "$python" fuzz/fuzz_python_api.py --plain "$seconds" >"$log" 2>&1 || rc=$?
    fi
  else
    "$build/targets/$t" -rss_limit_mb=4096 "${options[@]}" >"$log" 2>&1 || rc=$?
  fi
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p; s/.*plain random mode.*: \([0-9]*\) inputs.*/\1/p' "$log" | tail -n 1)
  executions[$t]=${runs:-?}
  if ((rc == 0)); then
    verdict[$t]=ok
  else
    verdict[$t]="FAILED (exit $rc)"
    failed=1
    echo "---- $t failed; end of $log:"
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|INITED)' "$log" | tail -n 40
    ls "$build/artifacts" | grep "^$t-" | sed 's/^/     saved input: /' || true
  fi
}

for t in $targets; do run_target "$t"; done

echo "== fuzzing summary (${seconds} s per target, $(($(date +%s) - started)) s in all)"
for t in $targets; do
  printf '   %-18s %12s executions   %s\n' "$t" "${executions[$t]}" "${verdict[$t]}"
done
exit "$failed"
