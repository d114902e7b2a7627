#!/bin/sh
# Runs a Windows program under 64-bit Wine: wine-run.sh PREFIX PROGRAM ARGS...
#
# The prefix is created on first use. No X display is needed: the programs
# open no window, and without DISPLAY Wine does not try to reach one. Wine's
# own messages are off unless WINEDEBUG is set (e.g. WINEDEBUG=-all,+debugstr
# shows what the programs write to the debugger output).
set -e
if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi
WINEPREFIX=$1
shift
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG--all}"
# No Mono or Gecko installer prompts when the prefix is made.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY

for wine in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
  if [ -n "$wine" ] && [ -x "$wine" ]; then
    break
  fi
  wine=
done
if [ -z "$wine" ]; then
  echo "$0: no wine64 found (Debian: apt-get install wine64)" >&2
  exit 2
fi

# Making the prefix takes several seconds; concurrent first runs (ctest -j)
# wait for the one that makes it.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.core_logger_ready" ]; then
  "$wine" wineboot --init >/dev/null 2>&1
  : >"$WINEPREFIX/.core_logger_ready"
fi
flock -u 9
exec 9>&-

exec "$wine" "$@"
