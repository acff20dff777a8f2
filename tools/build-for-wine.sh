#!/usr/bin/env bash
# Sets up the machine and builds what a run under Wine needs: the simulated
# device (native), the test-image exe and the inspection tool (windows), plus
# any further windows targets named as arguments. Shared by the main job, the
# fault matrix and the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-machine.sh

echo "== build native (simulated device)"
cmake --preset native >/dev/null
cmake --build --preset native --target simdevice modemlines

echo "== build windows (test-image exe, inspection tool${1:+, $*})"
cmake --preset windows >/dev/null
cmake --build --preset windows --target korv_bootloader_test_image inspect "$@"
