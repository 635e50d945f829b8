#!/usr/bin/env bash
# Installs the Debian packages the build, the tools, the tests, the Debian
# package (cpack -G DEB: dpkg-dev, file; its manual pages: help2man; its
# check: lintian) and the fuzz build (clang with
# libFuzzer and the sanitizer runtimes; llvm for llvm-symbolizer, which puts
# names and lines in the fuzzers' stack traces) need, only when one is missing.
# tmux gives the watch test a terminal; systemd-analyze checks the save
# timer's units. The Redis backend builds on hiredis (found through
# pkg-config) and OpenSSL (libssl-dev; its tests make their certificates
# with openssl), and its tests, benchmark and demo run real redis-server
# processes.
set -euo pipefail
packages=(build-essential cmake g++ libgtest-dev libgmock-dev libbenchmark-dev
          libpugixml-dev nlohmann-json3-dev libcli11-dev util-linux python3
          dpkg-dev file tmux clang libclang-rt-14-dev llvm libhiredis-dev libssl-dev openssl pkg-config
          redis-server help2man lintian systemd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
