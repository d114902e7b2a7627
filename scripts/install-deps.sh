#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking
# core_logger needs (run as root on a fresh Debian 12 machine). The channel
# tests parse JSON lines with nlohmann-json and start their own rsyslogd.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++ cmake make binutils pkg-config git \
  libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev tzdata \
  nlohmann-json3-dev rsyslog \
  g++-mingw-w64-x86-64-posix wine64 googletest \
  clang-14 libclang-rt-14-dev clang-format
