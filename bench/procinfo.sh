#!/usr/bin/env bash
# Request-to-reply medians of the process count, CPU usage and process list
# requests through a real agent (Release build in build-rel), once with the
# process tools (libexec/tev/proccnt, cpuusage, proclist) and once with the
# example scripts of etc/scripts, beside the commands an operator would use
# (pgrep -c -x NAME, ps -eo pid,user,pcpu,rss,args, timed by hyperfine) and
# the Zabbix agent's native items proc.num[NAME] and system.cpu.util (when
# zabbix_agentd is installed; it runs with a private configuration, never as
# the system service, and is stopped by its pid at the end).
#
#   bench/procinfo.sh [--before REV] [--requests N] [--rounds R] [--cpu-requests M]
#
# N requests (default 300) one at a time for the count and the list, in R
# rounds (default 5) that take turns with the commands and the peer (a
# fifth of them for the scripts, which are slow), and the count once more
# with 8 connections at a time; M TEST-CPU requests
# (default 20) each 1.2 s after the one before, as a polling server sends
# them: the tools' figure is the average since the previous request, so requests less
# than a second apart each measure over a quarter of a second instead. The
# count is of NAME = a copy of sleep this script runs three times.
# The settings name the programs by path, so the agent starts them (the value
# builtin would answer in-process instead, see tev.cfg(5)); the rows
# "tool alone" time the started program.
# With --before REV the agent built from git revision REV (in build-before/)
# runs beside the current one with the same tools and takes its turns in
# the same rounds, so that before and after meet the same machine load.
# Each row gives the p50 and the p99 (medians over the rounds) and the p50
# as a multiple of the peer's for the same question.
# Needs cmake, a C++ compiler, hyperfine and python3 (for free ports).
set -euo pipefail
cd "$(dirname "$0")/.."
before=""
requests=300
rounds=5
cpu_requests=20
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --cpu-requests) cpu_requests=$2; shift 2 ;;
    *) echo "usage: $0 [--before REV] [--requests N] [--rounds R] [--cpu-requests M]" >&2; exit 2 ;;
  esac
done
command -v hyperfine >/dev/null || { echo "hyperfine is not installed (apt-get install hyperfine)" >&2; exit 2; }
jobs=$(nproc)
root=$(pwd)
bench_name=procinfo
. "$root/bench/agents.sh"

. "$root/bench/build-before.sh"
build_release tev tevproc loadgen
loadgen=$root/build-rel/loadgen
tools=$root/build-rel/libexec/tev
scripts=$root/etc/scripts

# Starts our agent (the binary $4, by default build-rel/tev) as a daemon
# under the name $1 with the three programs $2/proccnt$3, $2/cpuusage$3,
# $2/proclist$3.
start_ours() {
  local name=$1 dir=$2 ext=$3 bin=${4:-$root/build-rel/tev}
  mkdir -p "$work/$name.tmp"
  start_tev "$name" "$bin" <<CFG
tmpdir=$work/$name.tmp
process=1
cpuusage=1
proccntscript=$dir/proccnt$ext
cpuusagescript=$dir/cpuusage$ext
proclistscript=$dir/proclist$ext
CFG
}


# Median of the numbers on stdin, one per line.
median() { python3 -c "import statistics,sys; print('%.3f' % statistics.median(float(x) for x in sys.stdin))"; }
# The 99th percentile (nearest rank) of the numbers on stdin, one per line.
p99() { python3 -c "import math,sys; v=sorted(float(x) for x in sys.stdin); print('%.3f' % v[max(0, math.ceil(0.99 * len(v)) - 1)])"; }

# "p50 p99" in ms of n requests to agent $1 with c connections at a time; the
# rest are loadgen arguments. Fails the script when a request gets no reply
# or not "200".
agent_lat() {
  local name=$1 n=$2 c=$3 out
  shift 3
  if [ "$name" = peer ]; then
    out=$("$loadgen" -p "${port[peer]}" --zabbix -c "$c" -n "$n" "$@")
  else
    out=$("$loadgen" -p "${port[$name]}" -w bench-secret -c "$c" -n "$n" "$@")
  fi
  echo "$out" | grep -q '^errors: *0 without reply, 0 with' || { echo "$out" >&2; exit 1; }
  echo "$out" | awk '/^latency:/ { print $3, $6 }'
}
# The p50 alone, requests one at a time.
agent_p50() {
  local name=$1 n=$2
  shift 2
  agent_lat "$name" "$n" 1 "$@" | cut -d' ' -f1
}

# "median p99" wall time in ms of a command, by hyperfine.
command_ms() {
  hyperfine -N --warmup 3 --runs "$1" --export-json "$work/hf.json" "$2" >/dev/null 2>&1
  python3 - "$work/hf.json" <<'PY'
import json, math, sys
r = json.load(open(sys.argv[1]))['results'][0]
t = sorted(r['times'])
print('%.3f %.3f' % (r['median'] * 1000, t[max(0, math.ceil(0.99 * len(t)) - 1)] * 1000))
PY
}

# The processes counted: three copies of sleep under a name of their own.
name=tevbench-sl
cp /bin/sleep "$work/$name"
for _ in 1 2 3; do
  "$work/$name" 3600 &
  pids+=("$!")
done

start_ours tools "$tools" ""
start_ours scripts "$scripts" ".sh"
ours=(tools)
if [ -n "$before" ]; then
  start_ours before "$tools" "" "$(build_before_agent "$before")"
  ours=(before tools)
fi
have_peer=no
if [ -x "$peer_bin" ]; then
  start_peer
  have_peer=yes
  sleep 3  # the peer's CPU collector needs a few seconds of history
fi
few=$((requests / 5 > 5 ? requests / 5 : 5))

echo "machine: $(nproc) cores, $(ls -d /proc/[0-9]* | wc -l) processes, load average $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A ms
# The close contests take turns, round after round, so that a change in
# the machine's load meets both sides; each figure is the median over the
# rounds of that round's p50 (or hyperfine median) and p99. One file per
# figure, one "p50 p99" line per round.
per_round=$((requests / rounds > 1 ? requests / rounds : 1))
mkdir -p "$work/rounds"
for _ in $(seq "$rounds"); do
  if [ "$have_peer" = yes ]; then
    agent_lat peer "$per_round" 1 -C "proc.num[$name]" >>"$work/rounds/peer_count"
    agent_lat peer "$per_round" 8 -C "proc.num[$name]" >>"$work/rounds/peer_count8"
    agent_lat peer "$per_round" 1 -C system.cpu.util >>"$work/rounds/peer_cpu"
  fi
  for a in "${ours[@]}"; do
    agent_lat "$a" "$per_round" 1 -C TEST-Process -P "" -P "$name" >>"$work/rounds/count_$a"
    agent_lat "$a" "$per_round" 8 -C TEST-Process -P "" -P "$name" >>"$work/rounds/count8_$a"
    agent_lat "$a" "$per_round" 1 -C GetProcessesList >>"$work/rounds/list_$a"
  done
  command_ms "$per_round" "pgrep -c -x $name" >>"$work/rounds/pgrep"
  command_ms "$per_round" "ps -eo pid,user,pcpu,rss,args" >>"$work/rounds/ps"
done
# "p50 p99" of a figure: the medians over the rounds.
figure() {
  echo "$(cut -d' ' -f1 "$work/rounds/$1" | median) $(cut -d' ' -f2 "$work/rounds/$1" | median)"
}
for f in "$work"/rounds/*; do
  ms[$(basename "$f")]=$(figure "$(basename "$f")")
done
ms[count_scripts]=$(agent_lat scripts "$few" 1 -C TEST-Process -P "" -P "$name")
ms[list_scripts]=$(agent_lat scripts 5 1 -C GetProcessesList)
# The first TEST-CPU measures; each later one, 1.2 s on, uses the sample.
# A request after a pause meets cold caches and a scheduler busy elsewhere:
# TEST-Process and GetInfo (no child at all) at the same pace show that
# floor. One request each: the p50 and p99 are over the requests.
for a in "${ours[@]}"; do agent_p50 "$a" 1 -C TEST-CPU >/dev/null; done
mkdir -p "$work/paced"
for _ in $(seq "$cpu_requests"); do
  sleep 1.2
  for a in "${ours[@]}"; do
    agent_p50 "$a" 1 -C TEST-CPU >>"$work/paced/cpu_$a"
    agent_p50 "$a" 1 -C TEST-Process -P "" -P "$name" >>"$work/paced/count_paced_$a"
    agent_p50 "$a" 1 -C GetInfo >>"$work/paced/info_paced_$a"
  done
done
for f in "$work"/paced/*; do
  ms[$(basename "$f")]="$(median <"$f") $(p99 <"$f")"
done
ms[cpu_scripts]=$(agent_lat scripts 5 1 -C TEST-CPU)
ms[tool_proccnt]=$(command_ms "$requests" "$tools/proccnt $name")
ms[tool_proclist]=$(command_ms "$requests" "$tools/proclist")

# A row: what, "p50 p99", and the figure of the peer the p50 is compared with.
row() {
  local p50 p99 ratio=""
  read -r p50 p99 <<<"$2"
  if [ -n "${3:-}" ] && [ -n "${ms[$3]:-}" ]; then
    ratio=$(python3 -c "print('%.2f' % ($p50 / ${ms[$3]%% *}))")
  fi
  printf '| %-58s | %8s | %8s | %6s |\n' "$1" "$p50" "$p99" "$ratio"
}
# The rows of one of our agents ($1) under the label $2.
our_rows() {
  local a=$1 label=$2
  row "TEST-Process $name, $label" "${ms[count_$a]}" peer_count
  row "TEST-Process $name, $label, 8 at a time" "${ms[count8_$a]}" peer_count8
  row "TEST-CPU, $label, requests 1.2 s apart" "${ms[cpu_$a]}" peer_cpu
  row "  TEST-Process, $label, at the same pace" "${ms[count_paced_$a]}"
  row "  GetInfo (no child), $label, at the same pace" "${ms[info_paced_$a]}"
  row "GetProcessesList, $label" "${ms[list_$a]}"
}
echo
echo "ms (agents: loadgen latencies; commands: hyperfine; the tools, the peer, pgrep"
echo "and ps: medians over $rounds rounds taking turns; x peer: p50 / the peer's p50)"
printf '| %-58s | %8s | %8s | %6s |\n' "what" "p50" "p99" "x peer"
printf '| %-58s | %8s | %8s | %6s |\n' "---" "---:" "---:" "---:"
if [ -n "$before" ]; then our_rows before "before ($before)"; fi
our_rows tools tools
row "TEST-Process $name, scripts" "${ms[count_scripts]}" peer_count
if [ "$have_peer" = yes ]; then
  row "Zabbix proc.num[$name]" "${ms[peer_count]}"
  row "Zabbix proc.num[$name], 8 at a time" "${ms[peer_count8]}"
  row "Zabbix system.cpu.util" "${ms[peer_cpu]}"
fi
row "pgrep -c -x $name" "${ms[pgrep]}"
row "proccnt $name (the tool alone)" "${ms[tool_proccnt]}"
row "TEST-CPU, scripts" "${ms[cpu_scripts]}"
row "GetProcessesList, scripts" "${ms[list_scripts]}"
row "ps -eo pid,user,pcpu,rss,args" "${ms[ps]}"
row "proclist (the tool alone)" "${ms[tool_proclist]}"
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
