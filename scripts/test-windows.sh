#!/usr/bin/env bash
# Cross-builds core_logger.dll with MinGW-w64 and runs its tests under Wine
# (headless, no X display needed): the "windows" preset, in build/windows.
# The Wine prefix lives in the build folder and is made on the first test run,
# which takes a few seconds more.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== build/windows"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
ctest --preset windows -j"$jobs"
