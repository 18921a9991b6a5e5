#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian packages).
# Quick when everything is present.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The fuzz targets need clang and its libFuzzer runtime.
command -v clang++ >/dev/null || need+=(clang)
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a' >/dev/null ||
  need+=(libclang-rt-dev)
# Packaging and manual pages: dpkg-shlibdeps for the .deb, mandoc to check
# the pages.
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v mandoc >/dev/null || need+=(mandoc)
# The shipped fail2ban filter is checked with fail2ban-regex.
command -v fail2ban-regex >/dev/null || need+=(fail2ban)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}"
fi
