#!/usr/bin/env bash
# Checks the include arrows and the formatting, then builds core_logger and
# runs every test in every configuration, each a preset of CMakePresets.json
# built in build/<preset>:
#   1. normal: the normal build (with the benchmarks and examples),
#   2. asan-ubsan, 3. tsan (every program that loads the library is built
#      with the same sanitizers),
#   4. windows: the DLL, cross-built with MinGW-w64 and tested under Wine,
#   5. fuzz (clang + libFuzzer): the committed corpora as tests, then fuzzing
#      for CORE_LOGGER_FUZZ_SECONDS (default 60) seconds: the log calls half
#      of it, each surface of the channels library one tenth.
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

run_suite() {  # run_suite <preset>: configure, build and test it
  local preset=$1 start=$SECONDS
  update_cpu
  local cpu=$cpu_now
  echo "== $preset (build/$preset)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
  note_time "$preset" "$start" "$cpu"
}

run_fuzzer() {  # the corpora as tests, then fuzzing for $fuzz_seconds in all
  local dir=build/fuzz start=$SECONDS
  update_cpu
  local cpu=$cpu_now
  echo "== fuzz ($dir)"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j"$jobs"
  ctest --preset fuzz
  # The log calls take half of the time, each surface of the channels
  # library one tenth. New inputs go to a scratch corpus; the committed one is
  # only read. A failing input is saved under artifacts/ and fails this script.
  rm -rf "$dir/found" "$dir/artifacts"
  mkdir -p "$dir/artifacts"
  local target corpus seconds status
  for target in log_calls settings syslog_address json_line rfc5424 rotation; do
    corpus=tests/fuzz/corpus_$target seconds=$((fuzz_seconds / 10))
    if [[ $target == log_calls ]]; then corpus=tests/fuzz/corpus seconds=$((fuzz_seconds * 5 / 10)); fi
    mkdir -p "$dir/found/$target"
    status=0
    "$dir/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=2 -rss_limit_mb=2048 -timeout=60 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" "$dir/found/$target" "$corpus" \
      >"$dir/fuzz_$target.log" 2>&1 || status=$?
    echo "-- $target"
    grep -E '^#[0-9]+[[:space:]]+DONE|check failed|ERROR|SUMMARY' "$dir/fuzz_$target.log" || true
    if [[ $status -ne 0 ]]; then
      tail -n 60 "$dir/fuzz_$target.log"
      echo "fuzzer $target failed; the input is in $dir/artifacts" >&2
      return "$status"
    fi
  done
  note_time fuzz "$start" "$cpu"
}

# Instant, so first: a broken arrow or an unformatted file fails before any
# build.
echo "== include arrows and formatting"
bash scripts/check-arrows.sh
sources=(src include tests bench examples)
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z -- "${sources[@]}"
else
  find "${sources[@]}" -type f -print0  # a copy of the tree without git
fi | grep -z -E '\.(cc|h)$' | xargs -0 clang-format --dry-run -Werror

run_suite normal
run_suite asan-ubsan
run_suite tsan
run_suite windows
run_fuzzer

echo "== time per configuration"
printf '   %s\n' "${timings[@]}"
