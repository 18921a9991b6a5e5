#!/usr/bin/env bash
# Builds everything with warnings as errors and runs all tests; then runs the
# tests again under address + undefined-behaviour sanitizers, the
# concurrency tests under the thread sanitizer, and every fuzz target
# (tests/fuzz/*_fuzz.cpp) for a bounded time on a copy of its seed corpus
# (tests/fuzz/corpus/<name without _fuzz>). Any finding fails the run.
# TEV_FUZZ_SECONDS sets the time per fuzz target (default 30); "test.sh fuzz"
# runs only the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
jobs=$(nproc)

build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DTEV_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

if [ "${1:-}" != fuzz ]; then
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
fi

echo "== fuzzing (clang; address + undefined-behaviour sanitizers)"
fuzz_seconds=${TEV_FUZZ_SECONDS:-30}
targets=()
for src in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake -S . -B build-fuzz -DTEV_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DTEV_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
fuzz_work=$(mktemp -d)
trap 'rm -rf "$fuzz_work"' EXIT
for target in "${targets[@]}"; do
  corpus="$fuzz_work/${target%_fuzz}"
  mkdir -p "$corpus"
  seeds="tests/fuzz/corpus/${target%_fuzz}"
  if [ -d "$seeds" ]; then cp -R "$seeds/." "$corpus/"; fi
  echo "-- $target: ${fuzz_seconds} s"
  if ! "build-fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$fuzz_work/$target-" "$corpus" >"$fuzz_work/$target.log" 2>&1; then
    tail -n 60 "$fuzz_work/$target.log"
    echo "fuzz target $target failed; the input that did it:"
    ls "$fuzz_work/$target-"* 2>/dev/null || true
    exit 1
  fi
  grep -E '^Done|#[0-9]+.*DONE' "$fuzz_work/$target.log" | tail -n 1 || true
done
