#!/usr/bin/env bash
# Builds and runs every test: the plain suite, the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, a short run of every fuzz target (about 10 s each), and the
# unit and concurrency suites cross-built for armhf under qemu-user (no
# sanitizers there: the native runs cover them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

step_start=$SECONDS
took() { echo "-- $1 took $((SECONDS - step_start)) s"; step_start=$SECONDS; }

echo "== plain"
scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$jobs"
took plain

echo "== history bench (short): steady values, two outbox sinks caught up, write at most 370 bytes a round (16 MB a controller-day)"
# On the build tree's disk, not a tmpfs: tmpfs counts no write_bytes.
build/bench/history_bench --values steady --rounds 1800 --db build/history-bench.db \
  --sinks 2 --max-written-per-round 370
took history-bench

echo "== asan+ubsan"
# -O1 -g1 (line tables): what the sanitizers' own guides suggest; the tree
# compiles in half the time of -O2 -g and its reports still name file and line.
san_flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
           -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
scripts/build.sh build-asan -DK417T_SANITIZE=asan -DK417T_BUILD_BENCH=OFF "${san_flags[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
took asan+ubsan

echo "== tsan (concurrency)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK417T_SANITIZE=tsan \
  -DK417T_BUILD_BENCH=OFF "${san_flags[@]}" >/dev/null
cmake --build build-tsan -j"$jobs" --target concurrency_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L concurrency --no-tests=error
took tsan

echo "== fuzz smoke"
scripts/fuzz.sh "${K417T_FUZZ_SECONDS:-10}"
took fuzz

echo "== armhf (cross build, qemu-user)"
scripts/test-cross.sh armhf
took armhf
