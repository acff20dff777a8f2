#!/usr/bin/env bash
# The main job: a whole firmware update against the simulated device. Sets up
# the machine, builds what is missing (the simulated device natively; the
# test-image exe and the inspection tool for Windows), then runs the update
# under Wine (on a private Xvfb when there is no display) through
# tools/main_job.py. Exits non-zero unless the update ended on the success
# screen. Options go to main_job.py: --manual leaves the clicking to a person.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/build-for-wine.sh

echo "== a whole update under Wine"
exec /usr/bin/python3 tools/main_job.py "$@"
