#!/usr/bin/env bash
# Installs the Debian packages that are missing; quick when everything is
# present.
#
#   deps.sh build     what building the agent needs (tools/start.sh)
#   deps.sh package   that and what tools/package.sh needs: the arm64 cross
#                     compiler, rpmbuild, lintian, rpmlint, the repository
#                     tools
#   deps.sh [ARCH]... everything the tests need (tools/test.sh): the above,
#                     GoogleTest, benchmarks, clang for fuzzing, qemu-user,
#                     debootstrap for the Debian 11 root, and the cross
#                     compiler of each ARCH asked for (aarch64, s390x,
#                     x86-64-v1; none: those CI runs)
set -euo pipefail
need=()

build_deps() {
  command -v cmake >/dev/null || need+=(cmake)
  command -v g++ >/dev/null || need+=(g++)
  command -v make >/dev/null || need+=(make)
}

# The packages for x86-64 and arm64: the cross compiler (its C and C++
# libraries come as archives too, for the static link), dpkg-deb and
# dpkg-shlibdeps, rpmbuild and rpm2cpio (Debian's rpm), the checks of both
# ecosystems and the repository indexes.
package_deps() {
  build_deps
  command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v rpmbuild >/dev/null || need+=(rpm)
  command -v cpio >/dev/null || need+=(cpio)
  command -v file >/dev/null || need+=(file)
  command -v lintian >/dev/null || need+=(lintian)
  command -v rpmlint >/dev/null || need+=(rpmlint)
  command -v createrepo_c >/dev/null || need+=(createrepo-c)
  command -v apt-ftparchive >/dev/null || need+=(apt-utils)
}

test_deps() {
  package_deps
  command -v pkg-config >/dev/null || need+=(pkg-config)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  # The fuzz targets need clang and its libFuzzer runtime.
  command -v clang++ >/dev/null || need+=(clang)
  compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a' >/dev/null ||
    need+=(libclang-rt-dev)
  # mandoc checks the manual pages; fail2ban-regex the shipped filter.
  command -v mandoc >/dev/null || need+=(mandoc)
  command -v fail2ban-regex >/dev/null || need+=(fail2ban)
  # The update script (agent/update.sh) is checked with shellcheck.
  command -v shellcheck >/dev/null || need+=(shellcheck)
  # The installed packages' checks: a Debian 11 root, the unit's exposure.
  command -v debootstrap >/dev/null || need+=(debootstrap)
  command -v systemd-analyze >/dev/null || need+=(systemd)
  # The runs for other hosts (tools/test.sh arch): qemu-user with
  # binfmt_misc, GoogleTest's sources, and the cross compiler of each target.
  command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static)
  command -v update-binfmts >/dev/null || need+=(binfmt-support)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  [ $# -gt 0 ] || set -- aarch64 x86-64-v1
  for arch in "$@"; do
    case $arch in
      aarch64 | s390x) command -v "$arch-linux-gnu-g++" >/dev/null || need+=("g++-$arch-linux-gnu") ;;
      x86-64-v1 | "") ;;
      *) echo "deps.sh: unknown host '$arch' (aarch64, s390x, x86-64-v1)" >&2; exit 2 ;;
    esac
  done
}

case "${1:-}" in
  build) build_deps ;;
  package) package_deps ;;
  *) test_deps "$@" ;;
esac

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
