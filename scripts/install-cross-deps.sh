#!/usr/bin/env bash
# scripts/install-cross-deps.sh ARCH [--sysroot DIR] (ARCH: armhf or arm64):
# installs from Debian's packages what a cross build for ARCH needs: the cross
# compiler and qemu-user on this machine, and the target's libraries either
#  - as multi-arch -dev packages (libjsoncpp-dev:ARCH and the like; the
#    default, what a package build needs: dpkg-shlibdeps reads dpkg's records
#    of them), or
#  - with --sysroot DIR, unpacked into DIR from the target's own package
#    indexes, through an apt state of its own. Nothing of ARCH is installed on
#    this machine, so the target's versions need not match this machine's
#    (multi-arch wants the same version of a library for every architecture,
#    which a mirror whose ARCH security index lags behind cannot give).
# Does nothing that is already done.
set -euo pipefail

arch=${1:-}
case "$arch" in
  armhf | arm64) ;;
  *)
    echo "usage: $0 armhf|arm64 [--sysroot DIR]" >&2
    exit 2
    ;;
esac
sysroot=
if [ "${2:-}" = "--sysroot" ]; then
  if [ -z "${3:-}" ]; then
    echo "usage: $0 armhf|arm64 [--sysroot DIR]" >&2
    exit 2
  fi
  sysroot=$(realpath -m "$3")
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

# Install what is missing of the given packages. A mirror caught mid-sync fails
# one index (exit 100) while the others are fine: go on, and let the install
# say whether what we need is there.
install_missing() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq || echo "apt-get update failed for some index; installing from what it has" >&2
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

host_packages=(cmake pkg-config libcli11-dev file dpkg-dev qemu-user mosquitto
               "crossbuild-essential-$arch")
target_packages=(libjsoncpp-dev libfmt-dev libsqlite3-dev libboost-dev libgtest-dev libgmock-dev
                 libsystemd-dev libmosquitto-dev libcivetweb-dev)

if [ -z "$sysroot" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "adding the $arch architecture to dpkg"
    "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  fi
  install_missing "${host_packages[@]}" "${target_packages[@]/%/:$arch}"
  exit 0
fi

install_missing "${host_packages[@]}"

# The target's packages: this machine's package sources, read for ARCH only,
# with an empty dpkg status, so apt fetches each library with everything it
# needs.
state=$sysroot.apt
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/preferences.d"
touch "$state/status"
apt_opts=(-o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
          -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
          -o "Dir::Cache::archives=$state/archives" -o "Dir::Cache::pkgcache="
          -o "Dir::Cache::srcpkgcache=" -o "Dir::Etc::preferencesparts=$state/preferences.d")
apt-get "${apt_opts[@]}" update -qq ||
  echo "apt-get update ($arch) failed for some index; downloading from what it has" >&2
# CLI11 is headers only, but the cross build looks for every package in the
# target's folders.
apt-get "${apt_opts[@]}" install -y -qq --download-only --no-install-recommends \
  "${target_packages[@]}" libcli11-dev

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
  # programs' libraries from here.
  case "$(dpkg-deb -f "$deb" Package)" in
    libc6-dev | libc-dev-bin | linux-libc-dev | libcrypt-dev | libnsl-dev | libtirpc-dev | \
      rpcsvc-proto | libstdc++-*-dev | libgcc-*-dev) continue ;;
  esac
  dpkg-deb -x "$deb" "$sysroot"
done
echo "$debs" >"$sysroot/.debs"
