#!/usr/bin/env bash
# scripts/install-cross-deps.sh ARCH SYSROOT (ARCH: armhf or arm64): installs
# from Debian's packages what a cross build for ARCH needs. On this machine: the
# cross compiler, qemu-user, and the peers the tests start (mosquitto, snmpd,
# snmptrapd). The target's libraries are not installed multi-arch: they are
# downloaded from the ARCH indexes of this machine's package sources, through
# an apt state of their own (SYSROOT.apt), and unpacked into SYSROOT. So the
# target's versions need not match this machine's (multi-arch wants one version
# of a library for every architecture, which a mirror whose ARCH security index
# lags behind cannot give), and libraries that are not Multi-Arch: same
# (net-snmp's libsnmp-dev) can be had too. Does nothing that is already done.
set -euo pipefail

arch=${1:-}
sysroot=${2:-}
case "$arch" in
  armhf | arm64) ;;
  *) arch= ;;
esac
if [ -z "$arch" ] || [ -z "$sysroot" ]; then
  echo "usage: $0 armhf|arm64 SYSROOT" >&2
  exit 2
fi
sysroot=$(realpath -m "$sysroot")

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

host_packages=(cmake pkg-config file dpkg-dev qemu-user mosquitto snmpd snmptrapd snmp smitools
               protobuf-c-compiler
               "crossbuild-essential-$arch")
missing=()
for p in "${host_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  # A mirror caught mid-sync fails one index (exit 100) while the others are
  # fine: go on, and let the install say whether what we need is there.
  "${sudo_cmd[@]}" apt-get update -qq || echo "apt-get update failed for some index; installing from what it has" >&2
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The target's packages: this machine's package sources, read for ARCH only,
# with an empty dpkg status, so apt fetches each library with everything it
# needs. CLI11 is headers only, but the cross build looks for every package in
# the target's folders.
target_packages=(libjsoncpp-dev libfmt-dev libsqlite3-dev libboost-dev libgtest-dev libgmock-dev
                 libsystemd-dev libmosquitto-dev libcivetweb-dev libsnmp-dev libcli11-dev
                 libssl-dev libcrypt-dev libcurl4-openssl-dev libsnappy-dev libprotobuf-c-dev libmodbus-dev)
state=$sysroot.apt
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/preferences.d"
touch "$state/status"
apt_opts=(-o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
          -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
          -o "Dir::Cache::archives=$state/archives" -o "Dir::Cache::pkgcache="
          -o "Dir::Cache::srcpkgcache=" -o "Dir::Etc::preferencesparts=$state/preferences.d")
apt-get "${apt_opts[@]}" update -qq ||
  echo "apt-get update ($arch) failed for some index; downloading from what it has" >&2
apt-get "${apt_opts[@]}" install -y -qq --download-only --no-install-recommends "${target_packages[@]}"

debs=$(cd "$state/archives" && ls ./*.deb | sort)
if [ -f "$sysroot/.debs" ] && [ "$(cat "$sysroot/.debs")" = "$debs" ]; then
  exit 0
fi
echo "unpacking $(echo "$debs" | wc -l) $arch packages into $sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$state"/archives/*.deb; do
  # The C library's and the compiler's headers and link files come with the
  # cross compiler; two copies of them on the include path break
  # #include_next. Their run-time libraries are kept: qemu loads the
  # programs' libraries from here. (libcrypt's crypt.h does not come with
  # it: that one is taken.)
  case "$(dpkg-deb -f "$deb" Package)" in
    libc6-dev | libc-dev-bin | linux-libc-dev | libnsl-dev | libtirpc-dev | \
      rpcsvc-proto | libstdc++-*-dev | libgcc-*-dev) continue ;;
  esac
  dpkg-deb -x "$deb" "$sysroot"
done
echo "$debs" >"$sysroot/.debs"
