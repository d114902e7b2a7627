#!/usr/bin/env bash
# Builds core_logger and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_suite() {  # run_suite <build dir> <cmake options...>
  local dir=$1
  shift
  echo "== $dir"
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

run_suite build/test-release -DCMAKE_BUILD_TYPE=RelWithDebInfo
bash scripts/test-windows.sh build/windows
