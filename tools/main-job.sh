#!/usr/bin/env bash
# The main job: sets up the machine, builds the test-image exe and the
# inspection tool, runs the exe under Wine (on a private Xvfb when there is no
# display), saves a screenshot of its window to build/windows/main-job/ and
# closes it. Exits non-zero if any step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-machine.sh

echo "== build windows"
cmake --preset windows >/dev/null
cmake --build --preset windows --target korv_bootloader_test_image inspect

echo "== run under Wine"
exec /usr/bin/python3 tools/main_job.py "$@"
