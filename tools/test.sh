#!/usr/bin/env bash
# Builds everything with warnings as errors and runs all tests; then runs the
# tests again under address + undefined-behaviour sanitizers, and the
# concurrency tests under the thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
jobs=$(nproc)

build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DTEV_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== build and test"
build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=ON
(cd build-test && ctest --output-on-failure -j"$jobs")

echo "== Debian package contents"
(cd build-test && cpack -G DEB >/dev/null && dpkg-deb -I tev_*.deb control && dpkg-deb -c tev_*.deb)

echo "== address + undefined-behaviour sanitizers"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTEV_SANITIZE=address,undefined -DTEV_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j"$jobs")

echo "== thread sanitizer (concurrency tests)"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_SANITIZE=thread -DTEV_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j"$jobs" -R 'Concurrent')
