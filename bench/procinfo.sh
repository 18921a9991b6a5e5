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
#   bench/procinfo.sh [--requests N] [--rounds R] [--cpu-requests M]
#
# N requests (default 300) one at a time for the count and the list, in R
# rounds (default 5) that take turns with the commands and the peer (a
# fifth of them for the scripts, which are slow); M TEST-CPU requests
# (default 20) each 1.2 s after the one before, as a polling server sends
# them: the tools' figure is the average since the previous request, so requests less
# than a second apart each measure over a quarter of a second instead. The
# count is of NAME = a copy of sleep this script runs three times.
# Needs cmake, a C++ compiler, hyperfine and python3 (for free ports).
set -euo pipefail
cd "$(dirname "$0")/.."
requests=300
rounds=5
cpu_requests=20
while [ $# -gt 0 ]; do
  case "$1" in
    --requests) requests=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --cpu-requests) cpu_requests=$2; shift 2 ;;
    *) echo "usage: $0 [--requests N] [--rounds R] [--cpu-requests M]" >&2; exit 2 ;;
  esac
done
command -v hyperfine >/dev/null || { echo "hyperfine is not installed (apt-get install hyperfine)" >&2; exit 2; }
jobs=$(nproc)
root=$(pwd)
work=$(mktemp -d /tmp/tev-procinfo-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
trap cleanup EXIT

. "$root/bench/build-before.sh"
build_release tev tevproc loadgen
loadgen=$root/build-rel/loadgen
tools=$root/build-rel/libexec/tev
scripts=$root/etc/scripts

free_port() {
  python3 - <<'PY'
import random, socket
for _ in range(200):
    p = random.randint(20000, 32000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
        print(p)
        break
    except OSError:
        pass
    finally:
        s.close()
PY
}

wait_port() {
  for _ in $(seq 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2).close()" \
      2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

declare -A port pid

# Starts our agent as a daemon under the name $1 with the three programs
# $2/proccnt$3, $2/cpuusage$3, $2/proclist$3.
start_ours() {
  local name=$1 dir=$2 ext=$3
  port[$name]=$(free_port)
  mkdir -p "$work/$name.tmp"
  cat >"$work/$name.cfg" <<CFG
tevpath=$root/build-rel/tev
port=${port[$name]}
password=bench-secret
logsuccess=0
logfails=0
pidfile=$work/$name.pid
tmpdir=$work/$name.tmp
process=1
cpuusage=1
proccntscript=$dir/proccnt$ext
cpuusagescript=$dir/cpuusage$ext
proclistscript=$dir/proclist$ext
CFG
  "$root/build-rel/tev" "$work/$name.cfg" >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; exit 1; }
  for _ in $(seq 50); do [ -s "$work/$name.pid" ] && break; sleep 0.1; done
  pid[$name]=$(tr -dc 0-9 <"$work/$name.pid")
  pids+=("${pid[$name]}")
  wait_port "${port[$name]}" || { echo "$name did not start:"; cat "$work/$name.out"; exit 1; }
}

peer_bin=/usr/sbin/zabbix_agentd
start_peer() {
  port[peer]=$(free_port)
  cat >"$work/peer.conf" <<CFG
ListenIP=127.0.0.1
ListenPort=${port[peer]}
StartAgents=3
Server=127.0.0.1
ServerActive=
Hostname=tev-bench
PidFile=$work/peer.pid
LogType=file
LogFile=$work/peer.log
LogFileSize=0
Timeout=3
AllowRoot=1
CFG
  setsid "$peer_bin" -f -c "$work/peer.conf" >"$work/peer.out" 2>&1 &
  pid[peer]=$!
  pids+=("${pid[peer]}")
  wait_port "${port[peer]}" || { echo "the peer did not start:"; cat "$work/peer.out"; exit 1; }
}

# Median of the p50 latencies (ms) that loadgen printed, one per line on stdin.
median() { python3 -c "import statistics,sys; print('%.3f' % statistics.median(float(x) for x in sys.stdin))"; }

# p50 in ms of n requests one at a time to agent $1; the rest are loadgen
# arguments. Fails the script when a request gets no reply or not "200".
agent_p50() {
  local name=$1 n=$2 out
  shift 2
  if [ "$name" = peer ]; then
    out=$("$loadgen" -p "${port[peer]}" --zabbix -c 1 -n "$n" "$@")
  else
    out=$("$loadgen" -p "${port[$name]}" -w bench-secret -c 1 -n "$n" "$@")
  fi
  echo "$out" | grep -q '^errors: *0 without reply, 0 with' || { echo "$out" >&2; exit 1; }
  echo "$out" | awk '/^latency:/ { print $3 }'
}

# Median wall time in ms of a command, by hyperfine.
command_ms() {
  hyperfine -N --warmup 3 --runs "$1" --export-json "$work/hf.json" "$2" >/dev/null 2>&1
  python3 -c "import json; print('%.3f' % (json.load(open('$work/hf.json'))['results'][0]['median'] * 1000))"
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
# rounds of that round's p50 (or hyperfine median).
per_round=$((requests / rounds > 1 ? requests / rounds : 1))
: >"$work/rounds"
for _ in $(seq "$rounds"); do
  peer_count=- peer_cpu=-
  if [ "$have_peer" = yes ]; then
    peer_count=$(agent_p50 peer "$per_round" -C "proc.num[$name]")
    peer_cpu=$(agent_p50 peer "$per_round" -C system.cpu.util)
  fi
  echo "$(agent_p50 tools "$per_round" -C TEST-Process -P "" -P "$name") $peer_count" \
    "$(command_ms "$per_round" "pgrep -c -x $name")" \
    "$(agent_p50 tools "$per_round" -C GetProcessesList)" \
    "$(command_ms "$per_round" "ps -eo pid,user,pcpu,rss,args")" "$peer_cpu" >>"$work/rounds"
done
column() { cut -d' ' -f"$1" "$work/rounds" | median; }
ms[count_tools]=$(column 1)
ms[pgrep]=$(column 3)
ms[list_tools]=$(column 4)
ms[ps]=$(column 5)
if [ "$have_peer" = yes ]; then
  ms[peer_count]=$(column 2)
  ms[peer_cpu]=$(column 6)
fi
ms[count_scripts]=$(agent_p50 scripts "$few" -C TEST-Process -P "" -P "$name")
ms[list_scripts]=$(agent_p50 scripts 5 -C GetProcessesList)
# The first TEST-CPU measures; each later one, 1.2 s on, uses the sample.
# A request after a pause meets cold caches and a scheduler busy elsewhere:
# TEST-Process and GetInfo (no child at all) at the same pace show that
# floor.
agent_p50 tools 1 -C TEST-CPU >/dev/null
for _ in $(seq "$cpu_requests"); do
  sleep 1.2
  echo "$(agent_p50 tools 1 -C TEST-CPU) $(agent_p50 tools 1 -C TEST-Process -P "" -P "$name")" \
    "$(agent_p50 tools 1 -C GetInfo)"
done >"$work/paced"
ms[cpu_tools]=$(cut -d' ' -f1 "$work/paced" | median)
ms[count_paced]=$(cut -d' ' -f2 "$work/paced" | median)
ms[info_paced]=$(cut -d' ' -f3 "$work/paced" | median)
ms[cpu_scripts]=$(agent_p50 scripts 5 -C TEST-CPU)
ms[tool_proccnt]=$(command_ms "$requests" "$tools/proccnt $name")
ms[tool_proclist]=$(command_ms "$requests" "$tools/proclist")

row() { printf '| %-44s | %10s |\n' "$1" "$2"; }
echo
echo "medians in ms (agents: p50 of requests one at a time; commands: hyperfine median;"
echo "the tools, the peer, pgrep and ps: median over $rounds rounds taking turns)"
row "what" "ms"
row "---" "---:"
row "TEST-Process $name, tools" "${ms[count_tools]}"
row "TEST-Process $name, scripts" "${ms[count_scripts]}"
[ "$have_peer" = yes ] && row "Zabbix proc.num[$name]" "${ms[peer_count]}"
row "pgrep -c -x $name" "${ms[pgrep]}"
row "proccnt $name (the tool alone)" "${ms[tool_proccnt]}"
row "TEST-CPU, tools, requests 1.2 s apart" "${ms[cpu_tools]}"
row "  TEST-Process, tools, at the same pace" "${ms[count_paced]}"
row "  GetInfo (no child), at the same pace" "${ms[info_paced]}"
row "TEST-CPU, scripts" "${ms[cpu_scripts]}"
[ "$have_peer" = yes ] && row "Zabbix system.cpu.util" "${ms[peer_cpu]}"
row "GetProcessesList, tools" "${ms[list_tools]}"
row "GetProcessesList, scripts" "${ms[list_scripts]}"
row "ps -eo pid,user,pcpu,rss,args" "${ms[ps]}"
row "proclist (the tool alone)" "${ms[tool_proclist]}"
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
