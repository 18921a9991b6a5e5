#!/usr/bin/env bash
# Measures our agent side by side with a widely used peer, the Zabbix agent
# from Debian's package (plain protocol, its cheapest item agent.ping), on
# this host over loopback: one request per connection at 1, 8 and 64
# connections at a time, the agents taking turns within each round, several
# rounds. Reports for each agent the medians over the rounds of requests per
# second, latency p50, p99 and max, and the agent's CPU time per request
# (all its threads and processes, from /proc), with our figures over the
# peer's. Then, for our agent only, GetInfo (a reply of about 700 bytes) at
# 8 connections and the cost of silent connections held open.
#
#   bench/peer.sh [--rounds R] [--requests N] [--before REV] [--idle-seconds S]
#
# Our request is TEST-DiskSpace, which answers "not applicable" in about 30
# bytes: the shortest reply, as agent.ping is the peer's. --before REV adds
# the agent built from git revision REV to every round. Needs git, cmake, a
# C++ compiler and python3; installs zabbix-agent with apt-get when it is
# missing (as root). The peer runs with a private configuration in a
# temporary directory, never as the system service, and is stopped by its
# pid at the end. Both agents run in sessions of their own, as daemons do,
# so that each is scheduled as its own group, as it would be in service.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5
requests=20000
before=""
idle_seconds=20
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
    --idle-seconds) idle_seconds=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds R] [--requests N] [--before REV] [--idle-seconds S]" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)
root=$(pwd)
bench_name=peer
. "$root/bench/agents.sh"

ensure_peer

# ---- Our agent, Release build (and the one of --before).
. "$root/bench/build-before.sh"
build_release tev loadgen
loadgen=$root/build-rel/loadgen
ours=("ours:$root/build-rel/tev")
if [ -n "$before" ]; then
  ours=("before:$(build_before_agent "$before")" "${ours[@]}")
fi

# Starts our agent binary $2 as a daemon under the name $1.
start_ours() {
  start_tev "$1" "$2" </dev/null
}

# One load run of agent $1 at concurrency $2; appends "name c rps p50 p99 max cpu" to results.
run_load() {
  local name=$1 c=$2 out
  if [ "$name" = peer ]; then
    out=$("$loadgen" -p "${port[peer]}" --zabbix -c "$c" -n "$requests" --agent-pid "${pid[peer]}" || true)
  else
    out=$("$loadgen" -p "${port[$name]}" -w bench-secret -C TEST-DiskSpace -c "$c" \
      -n "$requests" --agent-pid "${pid[$name]}" || true)
  fi
  echo "$out" | awk -v n="$name" -v c="$c" '
    /^throughput:/ { rps = $2 }
    /^latency:/ { p50 = $3; p99 = $6; max = $9 }
    /^errors:/ { lost = $2 }
    /^agent CPU:/ { cpu = $6 }
    END { print n, c, rps, p50, p99, max, cpu, lost }' >>"$work/results"
}

# CPU seconds so far: the whole machine (busy time from /proc/stat), the
# agents (with their child processes) and this script's finished children
# (the load generator runs). Printed as "machine agents loadgen".
cpu_snapshot() {
  python3 - "$$" "${pid[@]}" <<'PY'
import os, sys
hz = os.sysconf("SC_CLK_TCK")
f = open("/proc/stat").readline().split()[1:]
busy = sum(int(x) for i, x in enumerate(f) if i not in (3, 4))  # all but idle, iowait
def stat(p):
    try:
        s = open("/proc/%s/stat" % p).read()
    except OSError:
        return None
    return s[s.rindex(")") + 2:].split()
agents = 0
roots = set(sys.argv[2:])
for p in os.listdir("/proc"):
    if not p.isdigit():
        continue
    s = stat(p)
    if s and (p in roots or s[1] in roots):
        agents += int(s[11]) + int(s[12])
me = stat(sys.argv[1])
print(busy / hz, agents / hz, (int(me[13]) + int(me[14])) / hz)
PY
}

echo "machine: $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
start_peer
for entry in "${ours[@]}"; do start_ours "${entry%%:*}" "${entry#*:}"; done
names=(peer)
for entry in "${ours[@]}"; do names+=("${entry%%:*}"); done
: >"$work/results"
read -r busy0 agents0 loadgen0 < <(cpu_snapshot)
t0=$(date +%s.%N)
for c in 1 8 64; do
  for r in $(seq "$rounds"); do
    # Take turns, and change who goes first from round to round.
    order=("${names[@]}")
    if [ $((r % 2)) -eq 0 ]; then
      order=()
      for ((i = ${#names[@]} - 1; i >= 0; i--)); do order+=("${names[$i]}"); done
    fi
    for name in "${order[@]}"; do run_load "$name" "$c"; done
  done
done
read -r busy1 agents1 loadgen1 < <(cpu_snapshot)
t1=$(date +%s.%N)
# The load average counts the load generator's own threads; the CPU time
# of everything else on the machine says how busy it was besides.
python3 - "$t0" "$t1" "$busy0" "$busy1" "$agents0" "$agents1" "$loadgen0" "$loadgen1" "$(nproc)" <<'PY'
import sys
t0, t1, b0, b1, a0, a1, l0, l1, n = map(float, sys.argv[1:])
wall, busy, agents, loadgen = t1 - t0, b1 - b0, a1 - a0, l1 - l0
other = max(0.0, busy - agents - loadgen)
print("load runs: %.1f s on %d cores; CPU used by the agents %.1f s, the load generator %.1f s, "
      "everything else on the machine %.1f s (%.0f%% of a core)"
      % (wall, n, agents, loadgen, other, 100 * other / wall))
PY
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) after the load runs (the load generator's threads included)"

# Medians over the rounds, and ours over the peer's.
python3 - "$work/results" "${names[@]}" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
names = sys.argv[2:]
med = {}
for n in names:
    for c in ("1", "8", "64"):
        sel = [r for r in rows if r[0] == n and r[1] == c]
        if not sel:
            continue
        med[n, c] = [statistics.median(float(r[i]) for r in sel) for i in range(2, 7)]
        med[n, c].append(sum(int(r[7]) for r in sel))
print("\nmedians of %d rounds each (req/s; latency in ms; agent CPU in microseconds per request)"
      % len([r for r in rows if r[0] == names[0] and r[1] == "1"]))
print("%-8s %4s %9s %8s %8s %9s %9s %7s" % ("agent", "conc", "req/s", "p50", "p99", "max",
                                           "cpu/req", "lost"))
for c in ("1", "8", "64"):
    for n in names:
        if (n, c) in med:
            m = med[n, c]
            print("%-8s %4s %9.0f %8.3f %8.3f %9.3f %9.1f %7d" % (n, c, *m))
print("\nratios to the peer (req/s higher is better; p99, max/p99 and cpu lower is better)")
print("%-8s %4s %9s %9s %9s %9s" % ("agent", "conc", "req/s", "p99", "max/p99", "cpu/req"))
for c in ("1", "8", "64"):
    p = med.get(("peer", c))
    for n in names[1:]:
        m = med.get((n, c))
        if not p or not m:
            continue
        print("%-8s %4s %9.2f %9.2f %9.1f %9.2f" % (n, c, m[0] / p[0], m[2] / p[2],
                                                   m[3] / m[2], m[4] / p[4]))
PY

# Our agents only: a long reply, and silent connections.
for entry in "${ours[@]}"; do
  name=${entry%%:*}
  echo
  echo "== $name: GetInfo at 8 connections"
  "$loadgen" -p "${port[$name]}" -w bench-secret -C GetInfo -c 8 -n "$requests" \
    --agent-pid "${pid[$name]}" | grep -E "throughput|latency|errors|agent CPU"
  echo "== $name: 100 silent connections held for $idle_seconds s"
  "$loadgen" -p "${port[$name]}" -w bench-secret --idle 100 --idle-seconds "$idle_seconds" \
    --agent-pid "${pid[$name]}" | grep -vE "^idle connections"
done
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
