#!/usr/bin/env bash
# scripts/package.sh [ARCH]: builds dist/k417t_<version>_<ARCH>.deb for ARCH
# (amd64, armhf or arm64; default: this machine's). Other architectures are
# cross-built with cmake/toolchains/ARCH.cmake. The binaries are built as the
# tests build them (RelWithDebInfo) and stripped into the package.
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
arch=${1:-$native}
case "$arch" in
  amd64 | armhf | arm64) ;;
  *)
    echo "usage: $0 [amd64|armhf|arm64]" >&2
    exit 2
    ;;
esac

options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
         -DK417T_BUILD_TESTS=OFF -DK417T_BUILD_BENCH=OFF -DK417T_DEB_ARCH="$arch")
if [ "$arch" = "$native" ]; then
  scripts/install-deps.sh
else
  # The target's libraries unpacked into a folder of their own (as for the
  # cross tests); the package's dependencies are read from their packages.
  sysroot=$PWD/build-sysroot-$arch
  scripts/install-cross-deps.sh "$arch" "$sysroot"
  options+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$arch.cmake"
            -DK417T_CROSS_SYSROOT="$sysroot")
fi

dir=build-pkg-$arch
cmake -S . -B "$dir" "${options[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target k417t-run k417t-sim k417t
rm -f "$dir"/k417t_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
mkdir -p dist
deb=$(ls "$dir"/k417t_*_"$arch".deb)
cp "$deb" dist/
echo "dist/$(basename "$deb")"
