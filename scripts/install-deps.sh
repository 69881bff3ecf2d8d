#!/usr/bin/env bash
# Installs from Debian's packages whatever this machine lacks to build and test
# the project. Does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-dev libboost-date-time-dev
  libjsoncpp-dev libfmt-dev libsqlite3-dev sqlite3 libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libmosquitto-dev mosquitto mosquitto-clients openssl
  libsystemd-dev
  file dpkg-dev
  libcivetweb-dev libssl-dev libcrypt-dev
  libsnmp-dev snmpd snmp snmptrapd smitools
  libmodbus-dev mbpoll python3-pymodbus python3-serial python3-serial-asyncio
  libcurl4-openssl-dev libsnappy-dev libprotobuf-c-dev protobuf-c-compiler
  chromium chromium-driver python3 python3-prometheus-client python3-jinja2 python3-yaml
  fonts-wqy-microhei
)

# apt and the system folders need root: sudo when not root already.
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# (fonts-wqy-microhei: the alarm texts are Chinese; without a CJK font the
# browser test's screenshots show empty boxes.)
# Node.js and npm for the browser test, from Debian unless the machine has them.
if ! command -v npm >/dev/null 2>&1; then missing+=(nodejs npm); fi

if [ "${#missing[@]}" -ne 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index (exit 100) while the others are
  # fine: go on, and let the install say whether what we need is there.
  "${sudo_cmd[@]}" apt-get update -qq || echo "apt-get update failed for some index; installing from what it has" >&2
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# promtool, which lints /metrics in the tests, comes only in Debian's
# prometheus package, which would also install and start Prometheus' server
# (listening on every address). So the package is downloaded and only its
# promtool and prometheus programs unpacked into build-tools/bin/, where the
# tests look for them (the remote-write test starts its own Prometheus on
# loopback with a temporary data folder; nothing runs as a service).
tools="$(dirname "$0")/../build-tools"
if [ ! -x "$tools/bin/promtool" ] || [ ! -x "$tools/bin/prometheus" ]; then
  unpack=$(mktemp -d)
  (cd "$unpack" && apt-get download prometheus >/dev/null) ||
    { apt-get update -qq || true; (cd "$unpack" && apt-get download prometheus >/dev/null); }
  dpkg-deb -x "$unpack"/prometheus_*.deb "$unpack/root"
  mkdir -p "$tools/bin"
  cp "$unpack/root/usr/bin/promtool" "$tools/bin/promtool"
  cp "$unpack/root/usr/bin/prometheus" "$tools/bin/prometheus"
  rm -rf "$unpack"
fi

# amtool, which checks the example Alertmanager configuration and its routes,
# and Alertmanager itself, which the inhibition test starts on loopback with a
# temporary folder, likewise from Debian's prometheus-alertmanager without
# installing it as a service. Debian's build reads its notification templates
# from /usr/share/prometheus/alertmanager (compiled in), so they go there,
# where the package would put them.
am_templates=/usr/share/prometheus/alertmanager
if [ ! -x "$tools/bin/amtool" ] || [ ! -x "$tools/bin/alertmanager" ] ||
   [ ! -f "$am_templates/default.tmpl" ]; then
  unpack=$(mktemp -d)
  (cd "$unpack" && apt-get download prometheus-alertmanager >/dev/null) ||
    { apt-get update -qq || true; (cd "$unpack" && apt-get download prometheus-alertmanager >/dev/null); }
  dpkg-deb -x "$unpack"/prometheus-alertmanager_*.deb "$unpack/root"
  mkdir -p "$tools/bin"
  cp "$unpack/root/usr/bin/amtool" "$tools/bin/amtool"
  cp "$unpack/root/usr/bin/prometheus-alertmanager" "$tools/bin/alertmanager"
  "${sudo_cmd[@]}" mkdir -p "$am_templates"
  "${sudo_cmd[@]}" cp "$unpack"/root"$am_templates"/*.tmpl "$am_templates"/
  rm -rf "$unpack"
fi

# The browser test's driver (playwright-core, no browser download: it drives
# Debian's chromium), exactly as the lock file says.
web_tests="$(dirname "$0")/../tests/web"
if [ ! -f "$web_tests/node_modules/playwright-core/package.json" ] ||
   [ "$web_tests/package-lock.json" -nt "$web_tests/node_modules/.package-lock.json" ]; then
  (cd "$web_tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
