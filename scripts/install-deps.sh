#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking
# core_logger needs (run as root on a fresh Debian 12 machine). The channel
# tests parse JSON lines with nlohmann-json and start their own rsyslogd; the
# journal tests start their own systemd-journald and read it with journalctl
# (systemd); the journal benchmark's reference, spdlog's systemd sink, links
# libsystemd.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++ cmake make binutils pkg-config git \
  libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev tzdata \
  nlohmann-json3-dev rsyslog systemd libsystemd-dev libiberty-dev \
  g++-mingw-w64-x86-64-posix wine64 googletest \
  clang-14 libclang-rt-14-dev clang-format
