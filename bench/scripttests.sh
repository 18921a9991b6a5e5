#!/usr/bin/env bash
# Request-to-reply medians of the requests that run programs, through a real
# agent (Release build in build-rel): TEST-ExternalPrg running `true`,
# TEST-Process with the shipped count script, TEST-ShellScript with a
# one-line script, GetInfo as the floor, and the bare child start.
# Usage: bench/scripttests.sh [repetitions (default 15)]
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-15}
cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DTEV_BENCH=ON >/dev/null
cmake --build build-rel -j2 --target tev scripttests_bench >/dev/null
build-rel/scripttests_bench --benchmark_repetitions="$reps" \
  --benchmark_min_time=0.3 --benchmark_report_aggregates_only=true \
  --benchmark_filter="${TEV_BENCH_FILTER:-.}" 2>&1 | grep -E '^(Run on|CPU|Load|BM_.*_(median|stddev)|-|Benchmark)'
