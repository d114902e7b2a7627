#!/usr/bin/env bash
# Runs a program with a systemd-journald of its own to talk to: in a private
# mount namespace, with tmpfs over /run/systemd/journal and /run/log/journal
# and tests/journal/journald.conf in place of the system's, so that no
# journald of the host is touched. The program starts journald itself
# (/lib/systemd/systemd-journald) and finds CORE_LOGGER_JOURNAL_NAMESPACE=1.
#   run_in_namespace.sh <program> [arguments...]
# Needs root and a kernel that grants mount namespaces; without them it exits
# 77 (ctest: skipped), or 1 when CI=true, since CI must run these tests.
set -euo pipefail
journald=/lib/systemd/systemd-journald
conf=$(dirname "$(realpath "$0")")/journald.conf

skip() {
  echo "SKIPPED: $1" >&2
  if [[ ${CI:-} == true ]]; then
    echo "CI=true: the journal tests must run here" >&2
    exit 1
  fi
  exit 77
}

[[ $(id -u) == 0 ]] || skip "the journal tests need root (for a mount namespace of their own)"
[[ -x $journald ]] && command -v journalctl >/dev/null || skip "$journald or journalctl is missing (Debian package systemd)"
# The mount points must exist before the namespace can cover them.
mkdir -p /run/systemd/journal /run/log/journal 2>/dev/null || skip "cannot create the journal's folders in /run"
unshare -m --propagation private true 2>/dev/null || skip "mount namespaces are refused here"

export CORE_LOGGER_JOURNAL_NAMESPACE=1
exec unshare -m --propagation private -- bash -c '
  set -e
  mount -t tmpfs -o mode=0755 core_logger_journal /run/systemd/journal
  mount -t tmpfs -o mode=0755 core_logger_journal /run/log/journal
  if [[ -f /etc/systemd/journald.conf ]]; then mount --bind "$0" /etc/systemd/journald.conf; fi
  exec "$@"' "$conf" "$@"
