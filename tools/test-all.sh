#!/usr/bin/env bash
# Sets up the machine, builds every configuration and runs every test:
# the unit tests natively (plain, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer), then the Windows tests of the real exe under Wine and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-machine.sh

for preset in native native-asan native-tsan windows; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

for preset in native native-asan native-tsan; do
    echo "== unit tests ($preset)"
    ctest --preset "$preset"
done

echo "== Windows tests under Wine"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/wine "$@"
