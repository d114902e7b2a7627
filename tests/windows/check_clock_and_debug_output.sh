#!/usr/bin/env bash
# check_clock_and_debug_output.sh PROBE RUNNER...
#
# Runs the clock probe under Wine (through RUNNER) in time zones with odd
# offsets and daylight saving, and checks that
#   - the local time of the log call is the host's local time in that zone,
#     to the second, and
#   - the composed text reached the debugger output (Wine's debugstr channel)
#     with the same time in its header.
set -euo pipefail
probe=$1
shift

# +09:30 / +10:30, -03:30 / -02:30, and no offset at all.
zones=(Australia/Adelaide America/St_Johns UTC)
status=0
for zone in "${zones[@]}"; do
  if [ ! -e "/usr/share/zoneinfo/$zone" ]; then
    echo "FAIL $zone: no zone data (Debian: apt-get install tzdata)"
    status=1
    continue
  fi
  log=$(mktemp)
  before=$(date +%s)
  stamp=$(TZ=$zone WINEDEBUG=-all,+debugstr "$@" "$probe" 2>"$log")
  after=$(date +%s)
  stamp=${stamp%$'\r'}  # written in text mode
  # "YYYY-MM-DD HH:MM:SS.mmm" in the zone's local time.
  seconds=$(TZ=$zone date -d "${stamp%.*}" +%s 2>/dev/null || echo 0)
  if ((seconds < before - 1 || seconds > after)); then
    echo "FAIL $zone: the library's local time $stamp is not the host's local time" \
         "$(TZ=$zone date -d "@$before" '+%F %T') .. $(TZ=$zone date -d "@$after" '+%T')"
    status=1
  else
    echo "ok   $zone: $stamp"
  fi
  time_of_day=${stamp#* }
  expected="debugstr:OutputDebugStringA \"{$time_of_day} INFO: [probe] > clock probe\\n\""
  if ! grep -qF -- "$expected" "$log"; then
    echo "FAIL $zone: the debugger output lacks $expected; it has:"
    grep debugstr "$log" || cat "$log"
    status=1
  fi
  rm -f "$log"
done
exit $status
