#!/usr/bin/env bash
# Builds every preset and runs every test: unit tests, the unit tests again
# under the sanitizers, the fuzz targets and the boot on real firmware.
# The host's ctest runs them all, so the uefi, asan and fuzz builds come first.
set -euo pipefail
cd "$(dirname "$0")"

source tools/deps.sh
kv_install_dependencies

for preset in uefi asan fuzz host; do
    echo "=== build: $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j 2
done

echo "=== tests"
# A hung unit test fails after five minutes instead of blocking the run; tests
# that declare their own limit keep it.
ctest --test-dir build/host --output-on-failure --timeout 300
