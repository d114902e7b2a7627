#!/usr/bin/env bash
# Builds core_logger and runs the demo, which logs to the console.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCORE_LOGGER_TESTS=OFF -DCORE_LOGGER_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target demo
# The demo's console channel writes every text to standard output, and so
# takes the place of the built-in channel's copy on standard error.
./build/examples/demo
