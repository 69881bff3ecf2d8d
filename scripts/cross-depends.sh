#!/usr/bin/env bash
# scripts/cross-depends.sh ARCHIVES FILE...: prints the Depends field for the
# shared libraries that FILEs (programs and libraries of the target
# architecture) need, from the shlibs control files of the target's packages in
# ARCHIVES (the .deb files a cross build's sysroot was unpacked from). On a
# native build dpkg-shlibdeps works this out from dpkg's records; a sysroot has
# none. Exits 1 naming a library no package there provides.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 ARCHIVES FILE..." >&2
  exit 2
fi
archives=$1
shift

# "libjsoncpp 25 libjsoncpp25 (>= 1.9.5)": library, soname version, dependency.
shlibs=$(for deb in "$archives"/*.deb; do dpkg-deb -I "$deb" shlibs 2>/dev/null || true; done |
  grep -v '^udeb:' || true)
# What the files provide themselves (the plug-in) is not a dependency.
own=$(for f in "$@"; do readelf -d "$f" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p'; done)
needed=$(for f in "$@"; do readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; done | sort -u)

deps=()
for so in $needed; do
  if grep -qxF "$so" <<<"$own"; then continue; fi
  if [[ $so =~ ^(.+)\.so\.([0-9][0-9.]*)$ ]]; then # libfoo.so.1
    name=${BASH_REMATCH[1]} version=${BASH_REMATCH[2]}
  elif [[ $so =~ ^(.+)-([0-9][0-9.]*)\.so$ ]]; then # libfoo-1.2.so
    name=${BASH_REMATCH[1]} version=${BASH_REMATCH[2]}
  else
    echo "cross-depends: $so carries no version" >&2
    exit 1
  fi
  dep=$(awk -v n="$name" -v v="$version" \
    '$1 == n && $2 == v { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit }' <<<"$shlibs")
  if [ -z "$dep" ]; then
    echo "cross-depends: no package in $archives provides $so" >&2
    exit 1
  fi
  deps+=("$dep")
done
printf '%s\n' "${deps[@]}" | sort -u | paste -sd, - | sed 's/,/, /g'
