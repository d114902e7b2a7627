#!/usr/bin/env bash
# Prints the size of the tests against the size of the code, in lines of the
# tracked .cc, .h, .cpp, CMakeLists.txt, .cmake, .sh and .py files (corpus and
# other data files not counted):
#   code       src/, include/, examples/, bench/
#   harnesses  tests/fuzz/, tests/lifecycle/, tests/windows/, tests/package/,
#              tests/journal/, tests/crash/ (the crash children and their
#              parent) and the stress tests (tests/hardening/)
#   tests      everything else under tests/ (helpers, CMake files and the
#              shared oracle included)
# Exits non-zero when a figure is above its bound: tests at most a third of
# the code, harnesses at most 0.5x (the fuzz targets of both libraries with
# their oracles, the crash children, the journal's and the loader's hosts),
# tests/ in all at most 0.8x.
set -euo pipefail
cd "$(dirname "$0")/.."

harness_pattern='^tests/(fuzz|lifecycle|windows|package|journal|crash|hardening)/'

lines() {  # lines <file>...: total lines of the counted files among them
  grep -E '(\.(cc|h|cpp|cmake|sh|py)|(^|/)CMakeLists\.txt)$' | xargs -r cat | wc -l
}

code=$(git ls-files -- src include examples bench | lines)
harness=$(git ls-files -- tests | grep -E "$harness_pattern" | lines)
tests=$(git ls-files -- tests | grep -v -E "$harness_pattern" | lines)
all=$((harness + tests))

status=0
report() {  # report <name> <lines> <bound numerator> <bound denominator> <bound text>
  local ok=ok
  if (($2 * $4 > code * $3)); then ok="ABOVE $5"; status=1; fi
  awk -v n="$1" -v l="$2" -v c="$code" -v b="$5" -v ok="$ok" \
    'BEGIN { printf "%-10s %6d lines  %5.2fx the code  (bound %s: %s)\n", n, l, l / c, b, ok }'
}
echo "code       $(printf '%6d' "$code") lines  (src, include, examples, bench)"
report "tests" "$tests" 1 3 "1/3"
report "harnesses" "$harness" 50 100 "0.5x"
report "tests/" "$all" 80 100 "0.8x"
exit $status
