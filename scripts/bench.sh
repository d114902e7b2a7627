#!/usr/bin/env bash
# Builds the benchmarks in Release and runs every one of them with standard
# error on /dev/null (the whole-call benchmarks write every message there),
# then prints the ratios of core_logger to its references.
#
# The machine may be shared: repetitions are many and short, and randomly
# interleaved, so that both sides of a ratio see the same load; medians are
# reported. Extra arguments go to every benchmark (e.g. --benchmark_filter=).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCORE_LOGGER_TESTS=OFF -DCORE_LOGGER_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j2 >/dev/null

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for bench in "$dir"/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_repetitions=15 --benchmark_min_time=0.1 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    "$@" 2>/dev/null | tee -a "$results"
done

# Median CPU time (column 4) for the single-threaded pairs; items per second
# (real time) for the thread scaling of the query and of enabled log calls.
echo "== ratios (medians)"
awk '
  function ns(value, unit) {
    return unit == "us" ? value * 1000 : unit == "ms" ? value * 1e6 : value
  }
  function rate(text) {
    sub(/.*items_per_second=/, "", text); sub(/\/s.*/, "", text)
    return text ~ /G$/ ? text * 1e9 : text ~ /M$/ ? text * 1e6 : text ~ /k$/ ? text * 1e3 : text + 0
  }
  /_median/ {
    name = $1; sub(/_median$/, "", name)
    cpu[name] = ns($4, $5); items[name] = rate($0)
  }
  END {
    for (name in cpu) {
      if (name !~ /^BM_CoreLogger_/) continue
      other = name; sub(/CoreLogger/, "Spdlog", other)
      if (other in cpu) printf "%-36s %5.2fx spdlog (%.1f ns vs %.1f ns CPU)\n", name, cpu[name] / cpu[other], cpu[name], cpu[other]
    }
    for (name in cpu) {
      if (name !~ /^BM_Console_/) continue
      floor = name; sub(/Console_/, "ConsoleFloor_", floor)
      if (floor in cpu) printf "%-36s %5.2fx its floor (%.1f ns vs %.1f ns CPU)\n", name, cpu[name] / cpu[floor], cpu[name], cpu[floor]
    }
    one = "BM_CanDispatchLog/real_time/threads:1"
    if (one in cpu) printf "%-36s %5.2f ns per query (1 thread, CPU)\n", "BM_CanDispatchLog", cpu[one]
    for (name in items) {
      if (name !~ /\/threads:1$/) continue
      base = name; sub(/\/real_time\/threads:1$/, "", base)
      two = base "/real_time/threads:2"
      if (two in items) {
        scaling[base] = items[two] / items[name]
        printf "%-36s %5.2fx the 1-thread throughput on 2 threads\n", base, scaling[base]
      }
    }
    floor = "BM_ExportedCallFloorBesideLogCalls"
    if ("BM_EnabledLogCall" in scaling && floor in scaling)
      printf "%-36s %5.2fx the scaling of %s\n", "BM_EnabledLogCall", scaling["BM_EnabledLogCall"] / scaling[floor], floor
  }' "$results" | sort
