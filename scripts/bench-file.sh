#!/usr/bin/env bash
# The file benchmark (bench/file_bench.cc): each mode in a fresh process, the
# modes of a pair alternating, ROUNDS paired rounds (default 11); prints the
# median wall time of each mode and the median of the per-round ratios.
#   bash scripts/bench-file.sh [rounds]
# Standard error goes to /dev/null: the core library's built-in channel may
# write every text there.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-11}
dir=build/bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCORE_LOGGER_TESTS=OFF -DCORE_LOGGER_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j2 --target core_logger_file_bench >/dev/null
bench=$(realpath "$dir/bench/core_logger_file_bench")
work=$(mktemp -d "$dir/file-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# time_of <benchmark>: its wall time in milliseconds, from a fresh process.
time_of() {
  "$bench" --benchmark_filter="^$1/" --benchmark_format=csv 2>/dev/null |
    awk -F, -v name="\"$1/iterations:1/manual_time\"" '$1 == name { print $3 }'
}

# pair <name> <benchmark> <reference> <goal>
pair() {
  local times=()
  for ((round = 0; round < rounds; ++round)); do
    # The pair's order alternates, so that neither side always runs first.
    if ((round % 2 == 0)); then
      a=$(time_of "$2"); b=$(time_of "$3")
    else
      b=$(time_of "$3"); a=$(time_of "$2")
    fi
    times+=("$a $b")
  done
  printf '%s\n' "${times[@]}" | awk -v name="$1" -v goal="$4" '
    { a[NR] = $1; b[NR] = $2; r[NR] = $1 / $2 }
    function median(v, n,   i, j, t) {
      for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    END {
      n = NR; lo = hi = r[1]
      for (i = 1; i <= n; ++i) { if (r[i] < lo) lo = r[i]; if (r[i] > hi) hi = r[i] }
      printf "%-44s %7.1f ms vs %7.1f ms  ratio %.2fx (rounds %.2fx-%.2fx, goal %s)\n", name, median(a, n), median(b, n), median(r, n), lo, hi, goal
    }'
}

echo "== file logging, 4 threads x 50,000 messages, $rounds rounds (load: $(cut -d' ' -f1-3 /proc/loadavg))"
pair "FileChannel WhenFull / spdlog default" BM_CoreLogger_FileWhenFull BM_Spdlog_FileDefault "<= 0.8x"
pair "FileChannel EveryText / spdlog flush_on(trace)" BM_CoreLogger_FileEveryText BM_Spdlog_FileFlushEveryMessage "<= 0.9x"
pair "RotatingFileChannel / FileChannel (WhenFull)" BM_CoreLogger_RotatingWhenFull BM_CoreLogger_FileWhenFull "<= 1.1x"
pair "JSON lines / text (WhenFull)" BM_CoreLogger_JsonLinesWhenFull BM_CoreLogger_FileWhenFull "<= 1.5x"
