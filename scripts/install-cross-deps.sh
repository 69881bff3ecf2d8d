#!/usr/bin/env bash
# scripts/install-cross-deps.sh ARCH (armhf or arm64): installs from Debian's
# packages what a cross build for ARCH and its tests under qemu-user need:
# the cross compiler, the target's -dev packages (multi-arch) and qemu-user.
# Does nothing when everything is already there.
set -euo pipefail

arch=${1:-}
case "$arch" in
  armhf | arm64) ;;
  *)
    echo "usage: $0 armhf|arm64" >&2
    exit 2
    ;;
esac

packages=(
  cmake pkg-config libcli11-dev file dpkg-dev qemu-user mosquitto
  "crossbuild-essential-$arch"
)
for p in libjsoncpp-dev libfmt-dev libsqlite3-dev libboost-dev libgtest-dev libgmock-dev libsystemd-dev libmosquitto-dev libcivetweb-dev; do
  packages+=("$p:$arch")
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  echo "adding the $arch architecture to dpkg"
  "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
# A mirror caught mid-sync fails one index (exit 100) while the others are
# fine: go on, and let the install say whether what we need is there.
"${sudo_cmd[@]}" apt-get update -qq || echo "apt-get update failed for some index; installing from what it has" >&2
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
