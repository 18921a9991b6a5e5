#!/usr/bin/env bash
# The shipped static programs against the dynamic build, in one run: the
# agent's CPU time per request for GetInfo and TEST-FileExists (loadgen, 8
# connections at a time), the start-up to the first answer, and the memory
# at rest (PSS and RSS from /proc/PID/smaps_rollup, after one answer).
#
#   bench/static.sh [--rounds R] [--requests N] [--starts S]
#
# Both agents are Release builds of this checkout: build-rel/ (dynamic,
# with loadgen) and build-rel-static/ (-DTEV_STATIC=ON); a missing one is
# built. TEV_BENCH_DYNAMIC and TEV_BENCH_STATIC name other build folders
# (made alike but for the option). Each round measures both, in turns, so that both meet the same
# machine load; a row gives the median over R rounds (default 5) of N
# requests (default 20000) each, and the start-up the median of S starts
# (default 15) each. The last column is static / dynamic (the target: at
# most 1.03 for the times).
# Needs cmake, a C++ compiler and python3 (free ports).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5
requests=20000
starts=15
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --starts) starts=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds R] [--requests N] [--starts S]" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)
root=$(pwd)
bench_name=static
. "$root/bench/agents.sh"

declare -A build=([dynamic]=${TEV_BENCH_DYNAMIC:-$root/build-rel}
  [static]=${TEV_BENCH_STATIC:-$root/build-rel-static})
if [ ! -x "${build[dynamic]}/tev" ] || [ ! -x "${build[dynamic]}/loadgen" ]; then
  cmake -S . -B "${build[dynamic]}" -DCMAKE_BUILD_TYPE=Release -DTEV_BENCH=ON >/dev/null
  cmake --build "${build[dynamic]}" -j"$jobs" --target tev tevctl tevproc loadgen >/dev/null
fi
if [ ! -x "${build[static]}/tev" ]; then
  cmake -S . -B "${build[static]}" -DCMAKE_BUILD_TYPE=Release -DTEV_STATIC=ON -DTEV_BENCH=OFF \
    >/dev/null
  cmake --build "${build[static]}" -j"$jobs" --target tev tevctl tevproc >/dev/null
fi
loadgen=${build[dynamic]}/loadgen
client=${build[dynamic]}/tevctl
kinds=(dynamic static)
for kind in "${kinds[@]}"; do
  echo "$kind: $(file -b "${build[$kind]}/tev" | cut -d, -f1-5)" >&2
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now_ns() { date +%s%N; }

# Agent CPU per request in microseconds for one loadgen run.
cpu_per_request() {  # kind, loadgen args...
  local kind=$1 out
  shift
  out=$("$loadgen" -p "${port[$kind]}" -w bench-secret -c 8 -n "$requests" \
    --agent-pid "${pid[$kind]}" "$@")
  grep -q '^errors: *0 without reply, 0 with' <<<"$out" || { echo "$out" >&2; exit 1; }
  sed -n 's/^agent CPU: .*, \([0-9.]*\) ms per 1,000 requests/\1/p' <<<"$out"
}

# Milliseconds from the start of the agent (interactive mode) to its first
# answer to GetInfo, and its PSS and RSS in KiB at that moment.
start_once() {  # kind -> "ms pss rss"
  local kind=$1 p t0 t1 agent mem
  p=$(free_port)
  printf 'tevpath=%s\nport=%s\npassword=bench-secret\nlogsuccess=0\nlogfails=0\n' \
    "${build[$kind]}/tev" "$p" >"$work/start-$kind.cfg"
  t0=$(now_ns)
  "${build[$kind]}/tev" -i "$work/start-$kind.cfg" >/dev/null 2>&1 &
  agent=$!
  until "$client" -p "$p" -w bench-secret -t 1000 GetInfo >/dev/null 2>&1; do
    kill -0 "$agent" 2>/dev/null || { echo "$kind agent did not start" >&2; exit 1; }
  done
  t1=$(now_ns)
  mem=$(awk '/^Pss:/ { pss = $2 } /^Rss:/ { rss = $2 } END { print pss, rss }' \
    "/proc/$agent/smaps_rollup")
  kill "$agent"
  wait "$agent" 2>/dev/null || true
  echo "$(((t1 - t0) / 1000)) $mem" | awk '{ printf "%.2f %s %s\n", $1 / 1000, $2, $3 }'
}

for kind in "${kinds[@]}"; do
  start_tev "$kind" "${build[$kind]}/tev" </dev/null
done

declare -A info file startms pss rss
for r in $(seq "$rounds"); do
  echo "round $r of $rounds..." >&2
  for kind in "${kinds[@]}"; do
    info[$kind]+=" $(cpu_per_request "$kind" -C GetInfo)"
    file[$kind]+=" $(cpu_per_request "$kind" -C TEST-FileExists -P /etc/passwd)"
  done
done
for s in $(seq "$starts"); do
  for kind in "${kinds[@]}"; do
    read -r ms kb_pss kb_rss < <(start_once "$kind")
    startms[$kind]+=" $ms"
    pss[$kind]+=" $kb_pss"
    rss[$kind]+=" $kb_rss"
  done
done
# The long-running agents after all the load: memory at rest.
declare -A pss_after rss_after
for kind in "${kinds[@]}"; do
  read -r pss_after[$kind] rss_after[$kind] < <(awk '/^Pss:/ { pss = $2 } /^Rss:/ { rss = $2 }
    END { print pss, rss }' "/proc/${pid[$kind]}/smaps_rollup")
done

row() {  # label, dynamic value, static value, digits
  awk -v l="$1" -v d="$2" -v s="$3" -v n="$4" \
    'BEGIN { printf "| %s | %.*f | %.*f | %.3f |\n", l, n, d, n, s, (d > 0 ? s / d : 0) }'
}
echo
echo "| measure (median) | dynamic | static | static / dynamic |"
echo "|---|---|---|---|"
# shellcheck disable=SC2086
{
  row "GetInfo: agent CPU us per request" "$(median ${info[dynamic]})" "$(median ${info[static]})" 2
  row "TEST-FileExists: agent CPU us per request" "$(median ${file[dynamic]})" \
    "$(median ${file[static]})" 2
  row "start-up to the first answer, ms" "$(median ${startms[dynamic]})" \
    "$(median ${startms[static]})" 2
  row "PSS just after the first answer, KiB" "$(median ${pss[dynamic]})" "$(median ${pss[static]})" 0
  row "RSS just after the first answer, KiB" "$(median ${rss[dynamic]})" "$(median ${rss[static]})" 0
  row "PSS at rest after the load, KiB" "${pss_after[dynamic]}" "${pss_after[static]}" 0
  row "RSS at rest after the load, KiB" "${rss_after[dynamic]}" "${rss_after[static]}" 0
}
echo "($rounds rounds of $requests requests, 8 connections at a time; $starts starts each)"
