#!/usr/bin/env bash
# The journal benchmark (bench/journal_bench.cc): JournalChannel, SyslogChannel
# on journald's syslog socket and spdlog's systemd sink, each logging to a
# systemd-journald that this script starts (as root) in private mount and
# network namespaces, with tests/journal/journald.conf and the socket queue
# that systemd gives journald on a real host (net.unix.max_dgram_qlen=512,
# where the kernel's default is 10). Each mode runs in a fresh process, the
# modes' order rotating from round to round, ROUNDS rounds (default 11);
# prints the median CPU and real time per call of each mode and the median
# of the per-round ratios of CPU time, in bursts that journald keeps up with
# and in calls one after another, which journald cannot.
#   bash scripts/bench-journal.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-11}
dir=build/bench
[[ $(id -u) == 0 ]] || { echo "run as root: journald gets namespaces of its own" >&2; exit 1; }
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCORE_LOGGER_TESTS=OFF -DCORE_LOGGER_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j2 --target core_logger_journal_bench >/dev/null
bench=$(realpath "$dir/bench/core_logger_journal_bench")
conf=$(realpath tests/journal/journald.conf)
mkdir -p /run/systemd/journal /run/log/journal

export CORE_LOGGER_JOURNAL_NAMESPACE=1
unshare -m -n --propagation private -- bash -s "$bench" "$rounds" "$conf" <<'INNER'
set -euo pipefail
bench=$1 rounds=$2 conf=$3
mount -t tmpfs -o mode=0755 core_logger_journal /run/systemd/journal
mount -t tmpfs -o mode=0755 core_logger_journal /run/log/journal
if [[ -f /etc/systemd/journald.conf ]]; then mount --bind "$conf" /etc/systemd/journald.conf; fi
echo 512 >/proc/sys/net/unix/max_dgram_qlen
/lib/systemd/systemd-journald >/dev/null 2>&1 &
journald=$!
trap 'kill $journald; wait $journald' EXIT
for _ in $(seq 100); do [[ -S /run/systemd/journal/socket ]] && break; sleep 0.1; done

# times_of <benchmark>: its real and CPU time per call in nanoseconds, from a
# fresh process.
times_of() {
  "$bench" --benchmark_filter="^$1\$" --benchmark_min_time="$2" --benchmark_format=csv 2>/dev/null |
    awk -F, -v name="\"$1\"" '$1 == name { print $3 "/" $4 }'
}

# run <argument> <min time> <title>: the rounds of one regime, then medians.
run() {
  local modes=(BM_CoreLogger_Journal BM_Spdlog_Systemd BM_CoreLogger_SyslogUnix)
  echo "== $3, $rounds rounds (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  for ((round = 0; round < rounds; ++round)); do
    local line=()
    for ((i = 0; i < ${#modes[@]}; ++i)); do
      local mode=${modes[(round + i) % ${#modes[@]}]}
      line+=("$mode=$(times_of "$mode/$1" "$2")")
    done
    echo "${line[*]}"
  done | awk '
    function median(v, n,   i, j, t) {
      for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    function show(name, key,   k) {
      for (k = 1; k <= n; ++k) { real[k] = r[key, k]; cpu[k] = c[key, k] }
      printf "%-34s %7.0f ns CPU, %7.0f ns real per call\n", name, median(cpu, n), median(real, n)
    }
    function ratio(name, a, b, goal,   k, lo, hi) {
      for (k = 1; k <= n; ++k) {
        q[k] = c[a, k] / c[b, k]
        if (k == 1 || q[k] < lo) lo = q[k]
        if (k == 1 || q[k] > hi) hi = q[k]
      }
      printf "%-34s %7.2fx CPU (rounds %.2fx-%.2fx)%s\n", name, median(q, n), lo, hi, goal
    }
    # A round in which a mode failed (its time is missing) is left out.
    !/=( |$)/ {
      ++n
      for (i = 1; i <= NF; ++i) {
        split($i, kv, "="); split(kv[2], t, "/"); sub(/^BM_/, "", kv[1])
        r[kv[1], n] = t[1]; c[kv[1], n] = t[2]
      }
    }
    /=( |$)/ { ++failed }
    END {
      show("JournalChannel", "CoreLogger_Journal")
      show("spdlog systemd_sink", "Spdlog_Systemd")
      show("SyslogChannel on dev-log", "CoreLogger_SyslogUnix")
      ratio("JournalChannel / spdlog", "CoreLogger_Journal", "Spdlog_Systemd", ", goal <= 1.0x")
      ratio("JournalChannel / SyslogChannel", "CoreLogger_Journal", "CoreLogger_SyslogUnix", "")
      if (failed) printf "%d rounds left out: a mode failed (see the benchmark'"'"'s own output)\n", failed
    }'
}

run 16 0.05 "1-line calls in bursts of 16, journald keeping up"
run 0 0.1 "1-line calls one after another, at journald's pace"
INNER
