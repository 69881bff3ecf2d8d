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
  libmosquitto-dev mosquitto mosquitto-clients
  libsystemd-dev
  file dpkg-dev
)

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
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
