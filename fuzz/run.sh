#!/usr/bin/env bash
# Builds the fuzz targets with clang (build-fuzz) and runs each of them for SECONDS (default 60)
# over its seeds, its saved regressions and what earlier runs found (kept in
# build-fuzz/fuzz/work/<target>). Every target runs; the script fails when any of them found a
# crash, a sanitizer report, a leak, a hang or runaway memory, naming the input it saved under
# build-fuzz/fuzz/artifacts/<target>/. A long campaign: fuzz/run.sh 3600.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

tools/install-deps.sh --fuzz
cxx=$(command -v clang++ || command -v clang++-14)
cc=$(command -v clang || command -v clang-14)
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
CC=$cc CXX=$cxx cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTFC4_FUZZ=ON
cmake --build build-fuzz -j"$(nproc)"

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=()
while read -r name program dictionary; do
  work=build-fuzz/fuzz/work/$name
  artifacts=build-fuzz/fuzz/artifacts/$name
  log=build-fuzz/fuzz/logs/$name.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  [ "$dictionary" != "-" ] && options+=(-dict="$dictionary")
  folders=("$work" "fuzz/corpus/$name")
  [ -d "fuzz/regressions/$name" ] && folders+=("fuzz/regressions/$name")
  echo "== $name: ${seconds}s"
  if "$program" "${options[@]}" "${folders[@]}" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  else
    failed+=("$name")
    # The report: the sanitizer's or libFuzzer's own, with its stack and the saved input.
    grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse|INITED)' "$log" | tail -n 60
    echo "-- $name failed; its whole output is in $log. Once the fault is fixed, the saved input"
    echo "   goes to fuzz/regressions/$name/, where the replay test of the ordinary build keeps it."
  fi
done < build-fuzz/fuzz/targets.txt

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found no fault"
