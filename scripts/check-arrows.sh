#!/usr/bin/env bash
# Checks that every #include "..." of the library's sources follows the
# one-way arrows between its modules (README.md, "Source layout"):
#
#   calendar    nothing of ours (header-only civil time, shared by both
#               libraries)
#   posix       nothing of ours (header-only POSIX helpers, shared by the
#               platform layers of both libraries)
#   text        nothing of ours (header-only control-character escapes,
#               shared by the pipeline and the channels)
#   platform    calendar, posix
#   lifecycle   platform
#   categories  lifecycle, platform, the public header
#   pipeline    lifecycle, platform, text, the public header and core/log.h
#               (the records of the reports)
#   entry points (pipeline/entry_points.cc, categories/category_controls.cc)
#               everything below them: categories, pipeline, lifecycle, platform
#   channels    the public headers, calendar, posix and text (and its own platform
#               layer)
#   public headers  core/logger.h nothing; core/log.h core/logger.h;
#                   core/channels.h both
#
# Prints each include that breaks an arrow and exits non-zero if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# The modules a file may include, by its path.
allowed_for() {
  case $1 in
    src/pipeline/entry_points.cc | src/categories/category_controls.cc)
      echo "categories pipeline lifecycle platform calendar core/logger.h" ;;
    src/calendar/*) echo "calendar" ;;
    src/posix/*) echo "posix" ;;
    src/text/*) echo "text" ;;
    src/platform/*) echo "platform calendar posix" ;;
    src/lifecycle/*) echo "lifecycle platform calendar" ;;
    src/categories/*) echo "categories lifecycle platform calendar core/logger.h" ;;
    src/pipeline/*) echo "pipeline lifecycle platform calendar text core/logger.h core/log.h" ;;
    src/channels/*) echo "channels calendar posix text core/logger.h core/log.h core/channels.h" ;;
    include/core/logger.h) echo "" ;;
    include/core/log.h) echo "core/logger.h" ;;
    include/core/channels.h) echo "core/logger.h core/log.h" ;;
    *) echo "?" ;;
  esac
}

status=0
while IFS= read -r file; do
  allowed=$(allowed_for "$file")
  if [[ $allowed == "?" ]]; then
    echo "$file: in no module; add it to scripts/check-arrows.sh"
    status=1
    continue
  fi
  while IFS= read -r included; do
    module=${included%%/*}
    ok=false
    for entry in $allowed; do
      if [[ $entry == "$included" || $entry == "$module" ]]; then ok=true; fi
    done
    if ! $ok; then
      echo "$file includes \"$included\": not allowed (allowed: ${allowed:-nothing of ours})"
      status=1
    fi
  done < <(sed -n -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
done < <({ git ls-files -- src include 2>/dev/null || find src include -type f; } | grep -E '\.(h|cc)$')
exit $status
