#!/usr/bin/env bash
# Builds core_logger and runs every test, in every configuration:
#   1. the normal build (with the benchmarks and examples),
#   2. ASan + UBSan, 3. TSan (every program that loads the library is built
#      with the same sanitizers),
#   4. the Windows DLL, cross-built with MinGW-w64 and tested under Wine,
#   5. the fuzzer (clang + libFuzzer): the committed corpus as a test, then
#      fuzzing for CORE_LOGGER_FUZZ_SECONDS (default 60) seconds.
# Prints the time each configuration took.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${CORE_LOGGER_FUZZ_SECONDS:-60}

# A sanitizer's first report fails the test that made it. Reports go to
# standard output: tests silence standard error, where the built-in channel
# writes the texts of tests that register no channel.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=stdout
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=stdout
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=stdout

timings=()
times_file=$(mktemp)
trap 'rm -f "$times_file"' EXIT

# CPU seconds (user + system) that this script's finished children have used
# so far, in $cpu_now: unlike wall time, it hardly depends on what else the
# machine runs. `times` must run in this shell, not in a subshell.
cpu_now=0
update_cpu() {
  times >"$times_file"
  cpu_now=$(awk 'NR == 2 { split($0, t, /[ms]+/); printf "%d", t[1] * 60 + t[2] + t[3] * 60 + t[4] }' "$times_file")
}

# note_time <name> <start wall second> <start CPU second>
note_time() {
  update_cpu
  timings+=("$1: $((SECONDS - $2)) s wall, $((cpu_now - $3)) s CPU")
}

run_suite() {  # run_suite <name> <build dir> <cmake options...>
  local name=$1 dir=$2 start=$SECONDS
  update_cpu
  local cpu=$cpu_now
  shift 2
  echo "== $name ($dir)"
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
  note_time "$name" "$start" "$cpu"
}

run_fuzzer() {  # run_fuzzer <build dir>
  local dir=$1 start=$SECONDS
  update_cpu
  local cpu=$cpu_now
  echo "== fuzzer ($dir)"
  cmake -S tests/fuzz -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure
  # New inputs go to a scratch corpus; the committed one is only read. A
  # failing input is saved under artifacts/ and fails this script.
  rm -rf "$dir/found" "$dir/artifacts"
  mkdir -p "$dir/found" "$dir/artifacts"
  local status=0
  "$dir/fuzz_log_calls" -max_total_time="$fuzz_seconds" -close_fd_mask=2 -rss_limit_mb=2048 -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/found" tests/fuzz/corpus \
    >"$dir/fuzz.log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|log call check failed|ERROR|SUMMARY' "$dir/fuzz.log" || true
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$dir/fuzz.log"
    echo "fuzzer failed; the input is in $dir/artifacts" >&2
    return "$status"
  fi
  note_time fuzzer "$start" "$cpu"
}

run_windows() {  # run_windows <build dir>: the DLL, cross-built and tested under Wine
  local dir=$1 start=$SECONDS
  update_cpu
  local cpu=$cpu_now
  echo "== windows ($dir)"
  bash scripts/test-windows.sh "$dir"
  note_time "windows (Wine)" "$start" "$cpu"
}

sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORE_LOGGER_BENCH=OFF -DCORE_LOGGER_EXAMPLES=OFF)
run_suite normal build/test-release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan+ubsan build/test-asan "${sanitized[@]}" -DCORE_LOGGER_SANITIZE=address,undefined
run_suite tsan build/test-tsan "${sanitized[@]}" -DCORE_LOGGER_SANITIZE=thread
run_windows build/windows
run_fuzzer build/fuzz

echo "== time per configuration"
printf '   %s\n' "${timings[@]}"
