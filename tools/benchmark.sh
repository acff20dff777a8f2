#!/usr/bin/env bash
# The benchmark: sets up the machine, builds the simulated device (native) and
# the exe with the reference programs (windows), then measures under Wine on a
# private Xvfb and prints one table of ratios (tools/benchmark.py; --help for
# its options). The table and every sample are also written to
# build/windows/benchmark/. Fails only when a run does not do what it
# measures, never because of a figure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/build-for-wine.sh bare_upload write_floor bare_window window_start port_idle

echo "== benchmark"
exec /usr/bin/python3 tools/benchmark.py "$@"
