#!/usr/bin/env bash
# Mutation testing: checks that the tests catch the faults listed in
# tests/mutations.tsv. Runs by hand (not in CI), at the close of every change
# to code that a row guards.
#
#   bash scripts/mutate.sh                 every row
#   bash scripts/mutate.sh 3 7-9           rows 3, 7, 8 and 9 (numbers as --list shows them)
#   bash scripts/mutate.sh --match FILE    the rows whose file contains FILE
#   bash scripts/mutate.sh --list          the rows, numbered; runs nothing
#   bash scripts/mutate.sh --check         whether every row applies; builds nothing
#
# Each row of tests/mutations.tsv (tab-separated; '#' starts a comment line):
#   file  original  replacement  configuration  tests
# `original` must occur exactly once in `file` (with \t, \n and \\ standing
# for a tab, a line feed and a backslash, in `replacement` too); a stale or
# ambiguous row is an error, never skipped. `configuration` is one of normal,
# asan, tsan, windows; `tests` is a ctest name regular expression.
#
# The working tree as it stands (uncommitted changes included) is copied into a
# scratch git worktree (build/mutate/tree), built once per configuration
# (build/mutate/<configuration>), and the named tests must pass there
# unmutated. Then, row by row: apply the mutation, rebuild incrementally, run
# the named tests under `ctest --timeout`, record `killed` (a failure or a
# hang) or `survived`, restore. A mutation that does not compile is an error
# of the row. Exits non-zero unless every selected row is killed. Results are
# also written to build/mutate/results.tsv, and each row's build and test
# output to build/mutate/rows/<number>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
table=tests/mutations.tsv
work=build/mutate
tree=$work/tree
timeout=${CORE_LOGGER_MUTATE_TIMEOUT:-180}
jobs=$(nproc)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=stdout
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=stdout
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=stdout

# The preset of CMakePresets.json that configures <configuration> (the build
# folder stays build/mutate/<configuration>), without benchmarks or examples.
configure_options() {  # configure_options <configuration>
  local common=(-DCORE_LOGGER_BENCH=OFF -DCORE_LOGGER_EXAMPLES=OFF)
  case $1 in
    normal) echo --preset normal "${common[@]}" ;;
    asan) echo --preset asan-ubsan "${common[@]}" ;;
    tsan) echo --preset tsan "${common[@]}" ;;
    windows) echo --preset windows "${common[@]}" ;;
    *) echo "unknown configuration '$1'" >&2; return 1 ;;
  esac
}

# The rows as "number<US>file<US>original<US>replacement<US>configuration<US>tests", with
# the unit separator (0x1f) for the tab: `read` would merge two tabs around an
# empty replacement.
rows() {
  awk -F'\t' 'BEGIN { OFS = "\037" } /^[[:space:]]*(#|$)/ { next } { $1 = $1; printf "%d\037%s\n", ++n, $0 }' "$table"
}
split_row() {  # split_row <row>: sets number, file, original, replacement, configuration, tests
  IFS=$'\x1f' read -r number file original replacement configuration tests <<<"$1"
}

# mutation <apply|check> <file> <original> <replacement>: with `check`, only
# tells whether the row is usable.
mutation() {
  python3 - "$@" <<'EOF'
import sys
action, path, original, replacement = sys.argv[1:5]
def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == '\\' and i + 1 < len(text) and text[i + 1] in 'tn\\':
            out.append({'t': '\t', 'n': '\n', '\\': '\\'}[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return ''.join(out)
original, replacement = unescape(original), unescape(replacement)
try:
    source = open(path, encoding='utf-8').read()
except OSError as error:
    sys.exit(f'cannot read {path}: {error}')
count = source.count(original)
if count != 1:
    sys.exit(f'{path}: the original text occurs {count} times (stale or ambiguous row)')
if original == replacement:
    sys.exit(f'{path}: the replacement is the original')
if action == 'apply':
    open(path, 'w', encoding='utf-8').write(source.replace(original, replacement))
EOF
}

selected=()
list_only=false
check_only=false
match=""
while (($#)); do
  case $1 in
    --list) list_only=true ;;
    --check) check_only=true ;;
    --match) match=$2; shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *[0-9]-[0-9]*) for ((n = ${1%-*}; n <= ${1#*-}; ++n)); do selected+=("$n"); done ;;
    *) selected+=("$1") ;;
  esac
  shift
done

mapfile -t all_rows < <(rows)
chosen=()
for row in "${all_rows[@]}"; do
  split_row "$row"
  if ((${#selected[@]})) && [[ ! " ${selected[*]} " == *" $number "* ]]; then continue; fi
  if [[ -n $match && $file != *"$match"* ]]; then continue; fi
  chosen+=("$row")
done
if $list_only; then
  for row in "${chosen[@]}"; do
    split_row "$row"
    printf '%3d  %-8s %s: %s\n' "$number" "$configuration" "$file" "$original"
  done
  exit 0
fi
((${#chosen[@]})) || { echo "no row selected" >&2; exit 2; }

# The scratch tree holds exactly what the working tree holds now.
snapshot=$(git stash create 2>/dev/null || true)
snapshot=${snapshot:-$(git rev-parse HEAD)}
mkdir -p "$work"
if [[ -d $tree/.git || -f $tree/.git ]]; then
  git -C "$tree" checkout -q -f --detach "$snapshot"
else
  git worktree add -q -f --detach "$tree" "$snapshot"
fi
git -C "$tree" clean -q -fdx
# Files not yet added to git belong to the working tree too.
git ls-files -z --others --exclude-standard | tar --null -T - -cf - | tar -C "$tree" -xf -

# Every row must be usable before anything is built.
errors=0
for row in "${chosen[@]}"; do
  split_row "$row"
  if ! message=$(cd "$tree" && mutation check "$file" "$original" "$replacement" 2>&1); then
    echo "row $number: $message" >&2
    errors=$((errors + 1))
  fi
  configure_options "$configuration" >/dev/null || errors=$((errors + 1))
done
((errors == 0)) || { echo "$errors unusable row(s) in $table" >&2; exit 2; }
if $check_only; then echo "${#chosen[@]} rows usable"; exit 0; fi

build() {  # build <configuration> [target...]: incremental, everything unless targets are named
  local dir=$work/$1 log=$work/$1.build.log
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    # shellcheck disable=SC2046
    cmake -S "$tree" -B "$dir" $(configure_options "$1") >"$log" 2>&1 || { cat "$log"; return 1; }
  fi
  local targets=()
  (($# > 1)) && targets=(--target "${@:2}")
  cmake --build "$dir" -j"$jobs" "${targets[@]}" >"$log" 2>&1
}

# The build targets that carry the names of the tests in <regex> ("^(a|b)$"),
# or nothing (build everything) when one of them is not a target.
targets_of() {  # targets_of <configuration> <regex>
  local names help
  names=$(sed -E 's/^\^?\(?//; s/\)?\$?$//' <<<"$2" | tr '|' ' ')
  help=$(cmake --build "$work/$1" --target help 2>/dev/null)
  for name in $names; do
    grep -qE "^\.\.\. $name( |$)" <<<"$help" || return 0
  done
  echo "$names"
}

run_tests() {  # run_tests <configuration> <regex>
  ctest --test-dir "$work/$1" -R "$2" -j"$jobs" --timeout "$timeout" >"$work/$1.test.log" 2>&1
}

# The unmutated tree passes every test that a row names.
declare -A baseline=()
for row in "${chosen[@]}"; do
  split_row "$row"
  baseline[$configuration]+="${baseline[$configuration]:+|}$tests"
done
for configuration in "${!baseline[@]}"; do
  echo "== baseline: $configuration"
  build "$configuration" || { cat "$work/$configuration.build.log" | tail -40; exit 2; }
  if ! run_tests "$configuration" "${baseline[$configuration]}"; then
    tail -40 "$work/$configuration.test.log"
    echo "the unmutated tree fails tests in $configuration" >&2
    exit 2
  fi
done

results=$work/results.tsv
: >"$results"
killed=0 survived=0 broken=0
for row in "${chosen[@]}"; do
  split_row "$row"
  (cd "$tree" && mutation apply "$file" "$original" "$replacement")
  start=$SECONDS
  # shellcheck disable=SC2046
  if ! build "$configuration" $(targets_of "$configuration" "$tests"); then
    outcome="does not build"
    broken=$((broken + 1))
  elif run_tests "$configuration" "$tests"; then
    outcome=survived
    survived=$((survived + 1))
  else
    outcome=killed
    killed=$((killed + 1))
  fi
  mkdir -p "$work/rows"
  cat "$work/$configuration.build.log" "$work/$configuration.test.log" >"$work/rows/$number.log" 2>/dev/null || true
  git -C "$tree" checkout -q -- "$file"
  printf '%3d  %-14s %-8s %4ds  %s: %s\n' "$number" "$outcome" "$configuration" $((SECONDS - start)) \
    "$file" "$original"
  printf '%d\t%s\t%s\t%s\n' "$number" "$outcome" "$configuration" "$file" >>"$results"
done
# Leave the builds matching the unmutated tree.
for configuration in "${!baseline[@]}"; do build "$configuration" || true; done

echo "== ${#chosen[@]} rows: $killed killed, $survived survived, $broken do not build"
((survived == 0 && broken == 0))
