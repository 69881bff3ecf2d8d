#!/usr/bin/env bash
# scripts/verify-package.sh DEB: checks a package without installing it (an
# ARM package's programs run under qemu-user). Unpacked into an empty folder, its
# runner finds its plug-in and polls the simulator, --check-config accepts the
# shipped site file and refuses a broken one, and systemd-analyze verify
# accepts its unit (with the unit's paths pointed into the folder).
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
arch=$(dpkg-deb -f "$deb" Architecture)
emulator=()
case "$arch" in
  "$(dpkg --print-architecture)") ;;
  armhf) emulator=(qemu-arm) ;;
  arm64) emulator=(qemu-aarch64) ;;
  *) echo "cannot run $arch programs here" >&2; exit 2 ;;
esac
if [ "${#emulator[@]}" -gt 0 ]; then
  # The target's loader and libraries: the folder scripts/package.sh unpacked
  # them into (or K417T_SYSROOT).
  sysroot=${K417T_SYSROOT:-$(dirname "$(realpath "$0")")/../build-sysroot-$arch}
  if [ ! -d "$sysroot/lib" ]; then
    echo "no $arch libraries in $sysroot: run scripts/package.sh $arch first" >&2
    exit 2
  fi
  emulator+=(-L "$(realpath "$sysroot")")
fi
run() { "${emulator[@]}" "$root/usr/bin/k417t-run" "$@"; }

run --version
run --check-config --site "$root/etc/k417t/site.json" --simulate "$root/usr/share/k417t/scenario.json"
# The SNMP sub-agent is built in (a runner without it refuses --snmp).
run --check-config --site "$root/etc/k417t/site.json" --simulate "$root/usr/share/k417t/scenario.json" \
  --snmp "agentx:$root/agentx" >/dev/null
echo "the runner carries the SNMP sub-agent"
echo '{ "devices": [ {' >"$root/broken.json"
if run --check-config --site "$root/broken.json" 2>/dev/null; then
  echo "--check-config accepted a broken site file" >&2
  exit 1
else
  status=$?
  [ "$status" -eq 2 ] || { echo "--check-config exited $status on a broken site file" >&2; exit 1; }
fi
run --site "$root/etc/k417t/site.json" --simulate "$root/usr/share/k417t/scenario.json" \
  --rounds 1 --json --db "$root/h.db" --log "$root/log" | grep -q '"kind":"round"'
echo "unpacked runner polled the simulator with its own plug-in"

if command -v systemd-analyze >/dev/null; then
  mkdir -p "$root/check"
  sed "s#=/usr/bin/#=$root/usr/bin/#g" "$root/lib/systemd/system/k417t.service" >"$root/check/k417t.service"
  systemd-analyze verify "$root/check/k417t.service"
  echo "systemd-analyze verify: k417t.service accepted"
fi
