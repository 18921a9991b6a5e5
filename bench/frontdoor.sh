#!/usr/bin/env bash
# Measures what strangers can do to the agent from the network (loopback
# only): the memory 32 connections pin by announcing 16 MiB each with a wrong
# password, and the answer time of a real request from another address while
# 1,500 connections trickle one byte every 2 s, and the time of a SetSettings
# request of 200,000 lines. With --before REV the same
# measurements are made on the agent built from git revision REV as well, in
# one run, so the figures compare under the same machine load.
#
#   bench/frontdoor.sh [--before REV] [--seconds S]
#
# Builds Release binaries in build-rel (and build-before/ for REV). Needs
# git, cmake and a C++ compiler; run from anywhere in the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
before=""
seconds=20
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: $0 [--before REV] [--seconds S]" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)
root=$(pwd)
work=$(mktemp -d /tmp/tev-frontdoor-XXXXXX)
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

. "$root/bench/build-before.sh"
build_release tev frontdoor
tool=$root/build-rel/frontdoor

agents=("current:$root/build-rel/tev")
if [ -n "$before" ]; then
  agents=("before ($before):$(build_before_agent "$before")" "${agents[@]}")
fi

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Starts the agent binary $1 in the foreground on a free port; sets port,
# agent_pid. The configuration's idle limit is the default (4 s). The soft
# descriptor limit is the usual 1024 (the hard one stays as it is), as for
# an agent started from a login shell or a plain init script.
start_agent() {
  local bin=$1
  port=$(free_port)
  cat >"$work/tev.cfg" <<CFG
tevpath=$bin
port=$port
password=bench-secret
logfails=0
CFG
  (ulimit -Sn 1024 && exec "$bin" -i "$work/tev.cfg") >"$work/agent.out" 2>&1 &
  agent_pid=$!
  for _ in $(seq 100); do
    grep -q "Listening" "$work/agent.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "agent did not start:"; cat "$work/agent.out"; exit 1
}

stop_agent() {
  kill "$agent_pid" 2>/dev/null || true
  wait "$agent_pid" 2>/dev/null || true
  agent_pid=""
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
for entry in "${agents[@]}"; do
  name=${entry%%:*}
  bin=${entry#*:}
  echo "== $name"
  start_agent "$bin"
  "$tool" -p "$port" -w bench-secret --flood 32 --announce 16777216 --agent-pid "$agent_pid"
  stop_agent
  start_agent "$bin"
  "$tool" -p "$port" -w bench-secret --trickle 1500 --seconds "$seconds"
  stop_agent
  start_agent "$bin"
  "$tool" -p "$port" -w bench-secret --set-lines 200000 || true
  stop_agent
done
