#!/usr/bin/env bash
# The fault matrix: sets up the machine, builds the test-image exe, the
# inspection tool and the simulated device, then runs at least 40 whole runs
# of the exe under Wine against the device, each with a fault drawn from a
# table (tools/fault_matrix.py). Arguments go to the driver, e.g.
#   tools/fault-matrix.sh --seed 7        the matrix of master seed 7
#   tools/fault-matrix.sh --replay SEED   one run again
# Exits non-zero if any run fails.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/build-for-wine.sh

echo "== fault matrix"
exec /usr/bin/python3 tools/fault_matrix.py "$@"
