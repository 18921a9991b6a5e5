#!/usr/bin/env bash
# Compares the packet cipher's key schedule and short-request crypto of the
# working tree with those of an earlier git revision, in one run: the
# current bench/crypto_bench.cpp is compiled twice, once against each
# revision's protocol/crypto sources (Release flags, no nettle), and the two
# binaries run alternately, so both see the same machine load. Prints the
# median of the runs for each benchmark and the ratio current / before.
#
#   bench/keysched.sh [--before REV] [--runs N] [--filter REGEX]
#
# REV defaults to 04c2952, the last revision before the key schedule was
# reworked; N (alternating runs, default 3) gives the medians.
#
# Hot figures repeat the work in a loop; the /2048 and /65536 cold figures
# dirty 2 MiB or 64 MiB of memory before each timed call (see EvictCaches
# in bench/crypto_bench.cpp). Needs git, a C++17 compiler and Google
# Benchmark; run from anywhere in the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
before=04c2952
runs=3
filter='PrepareKey|PacketCipherPrepare|ShortRe|ColdNothing|EncryptBlock'
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --filter) filter=$2; shift 2 ;;
    *) echo "usage: $0 [--before REV] [--runs N] [--filter REGEX]" >&2; exit 2 ;;
  esac
done
root=$(pwd)
work=$(mktemp -d /tmp/tev-keysched-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/before"
git archive "$before" protocol/crypto core/tevassert.h core/tevassert.cpp | tar -x -C "$work/before"

# Builds bench/crypto_bench.cpp against the crypto sources under $1 as $2.
build() {
  ${CXX:-g++} -std=c++17 -O3 -DNDEBUG -I"$1" -o "$2" bench/crypto_bench.cpp \
    "$1"/protocol/crypto/*.cpp "$1/core/tevassert.cpp" -lbenchmark -lpthread
}
build "$work/before" "$work/bench-before" &
build "$root" "$work/bench-current"
wait

for i in $(seq 1 "$runs"); do
  for v in before current; do
    "$work/bench-$v" --benchmark_filter="$filter" --benchmark_min_time=0.3 \
      --benchmark_format=csv 2>/dev/null | sed -n '/^name,/,$p' | tail -n +2 |
      sed "s/^/$v,/" >>"$work/results.csv"
  done
done

# Columns: variant, "name", iterations, real_time, cpu_time, time_unit, ...
python3 - "$work/results.csv" "$before" "$runs" <<'PY'
import csv, statistics, sys
path, before, runs = sys.argv[1], sys.argv[2], sys.argv[3]
times = {}
order = []
for row in csv.reader(open(path)):
    variant, name, real = row[0], row[1], float(row[3])
    unit = row[5]
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[unit]
    if name not in order:
        order.append(name)
    times.setdefault((variant, name), []).append(real * scale)
print(f"medians of {runs} alternating runs, ns per call; before = {before}")
print(f"| benchmark | before | current | current/before |")
print(f"|---|---|---|---|")
for name in order:
    b = statistics.median(times.get(("before", name), [float("nan")]))
    c = statistics.median(times.get(("current", name), [float("nan")]))
    short = name.replace("/manual_time", "").replace("/iterations:20000", "").replace(
        "/iterations:100", "")
    print(f"| {short} | {b:.0f} | {c:.0f} | {c / b:.2f} |")
PY
