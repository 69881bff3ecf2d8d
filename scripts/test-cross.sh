#!/usr/bin/env bash
# scripts/test-cross.sh ARCH (armhf or arm64): cross-builds the project and its
# tests for ARCH with Debian's cross compiler and runs them under qemu-user
# (ctest starts every test through the emulator the toolchain file names).
# No benchmarks and no debug information: the build is only for the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case "$arch" in
  armhf | arm64) ;;
  *)
    echo "usage: $0 armhf|arm64" >&2
    exit 2
    ;;
esac
# The target's libraries are unpacked into a folder of their own rather than
# installed multi-arch: the tests then don't depend on the target's packages
# being at the same versions as this machine's.
sysroot=$PWD/build-sysroot-$arch
scripts/install-cross-deps.sh "$arch" "$sysroot"

dir=build-$arch
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$arch.cmake" \
  -DK417T_CROSS_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DK417T_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
file -b "$dir/k417t-run" | cut -d, -f1-2
# The unit and concurrency suites: byte order, alignment, the plug-in and the
# host's threads on the target's ABI. The end-to-end suites (servers, browsers,
# brokers) run natively and under the sanitizers; under qemu they only repeat
# them at a third of the speed.
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --no-tests=error -LE e2e
