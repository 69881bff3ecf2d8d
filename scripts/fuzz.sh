#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the libFuzzer targets of fuzz/ in their own
# tree (build-fuzz/, clang, ASan + UBSan) and runs each for SECONDS (default
# 60), one after another, from its seed corpus in fuzz/corpus/<target>/. New
# inputs go to build-fuzz/corpus/<target>/; the seeds are not touched.
# Exits non-zero on any finding and leaves the reproducer in
# build-fuzz/findings/<target>/ (run the target on that file to see it again).
#   scripts/fuzz.sh --seeds   rewrites fuzz/corpus/ from the simulator's answers
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DK417T_FUZZ=ON -DK417T_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets

if [ "${1:-}" = "--seeds" ]; then
  build-fuzz/fuzz/seed_corpus examples fuzz/corpus
  exit 0
fi
secs=${1:-60}
targets=(frame_decoder_fuzz controller_fuzz units_fuzz site_fuzz scenario_fuzz gate_request_fuzz
  mqtt_control_fuzz modbus_request_fuzz)
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  findings=build-fuzz/findings/$t
  mkdir -p "$work" "$findings"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=("-dict=fuzz/$t.dict")
  log=build-fuzz/$t.log
  # -close_fd_mask=1: the plug-in's console traces go to standard output.
  if build-fuzz/fuzz/$t -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
       -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" "$work" "fuzz/corpus/$t" \
       >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    echo "$t: ok, $runs runs, $cov"
  else
    failed=1
    echo "$t: FINDING (log $log, reproducer in $findings/):"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 20 || tail -n 30 "$log"
  fi
done
exit "$failed"
