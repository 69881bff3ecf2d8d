#!/usr/bin/env bash
# Builds what is needed and runs the host runner against the simulator for a
# few rounds (extra arguments go to the runner, e.g. --json or --rounds 20).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build >/dev/null
exec build/k417t-run --site examples/site.json --simulate examples/scenario.json \
  --db build/k417t-history.db --log build/k417t-run.log --rounds 5 --alarms "$@"
