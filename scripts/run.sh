#!/usr/bin/env bash
# Builds what is needed and runs the host runner against the example site.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build >/dev/null
exec build/k417t-run build/k417t.so examples/site.json "$@"
