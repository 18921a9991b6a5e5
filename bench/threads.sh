#!/usr/bin/env bash
# Threads and memory of our agent around a burst, beside the Zabbix agent
# from Debian's package in the same run. For each agent: PSS (the sum of
# /proc/PID/smaps_rollup over the agent's processes) and its thread count,
# at rest, right after a burst of 64 requests at a time, and --after
# seconds later (default 60: past our idle limit of 30 s for threads beyond
# the spares). Our agent takes two bursts: quick requests (TEST-DiskSpace,
# answered without a wait) and slow ones (TEST-TCP against a local port that
# accepts and never answers, one second each: every one waits, so each
# holds a thread). The peer takes the quick burst (agent.ping); it has a
# fixed set of processes.
#
#   bench/threads.sh [--after S] [--bin PATH_OF_TEV]
#
# Without --bin, our agent is built in build-rel/ (Release) as the other
# benches do; the load generator always is. Needs python3; installs
# zabbix-agent with apt-get when it is missing (as root). The peer runs with
# a private configuration, never as the system service, and both agents are
# stopped by their pids at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
after=60
bin=""
while [ $# -gt 0 ]; do
  case "$1" in
    --after) after=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "usage: $0 [--after S] [--bin PATH_OF_TEV]" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)
root=$(pwd)
bench_name=threads
. "$root/bench/agents.sh"
. "$root/bench/build-before.sh"

ensure_peer
if [ -n "$bin" ]; then
  build_release loadgen
else
  build_release tev loadgen
  bin=$root/build-rel/tev
fi
loadgen=$root/build-rel/loadgen

# PSS in KiB and threads of every process in the session of process $1
# (the agents run in sessions of their own): "pss_kib threads processes".
footprint() {
  python3 - "$1" <<'PY'
import os, sys
def fields(p):
    s = open("/proc/%s/stat" % p).read()
    return s[s.rindex(")") + 2:].split()
sid = fields(sys.argv[1])[3]
pss = threads = procs = 0
for p in os.listdir("/proc"):
    if not p.isdigit():
        continue
    try:
        if fields(p)[3] != sid:
            continue
        for line in open("/proc/%s/smaps_rollup" % p):
            if line.startswith("Pss:"):
                pss += int(line.split()[1])
        for line in open("/proc/%s/status" % p):
            if line.startswith("Threads:"):
                threads += int(line.split()[1])
        procs += 1
    except (OSError, ValueError, IndexError):
        pass
print(pss, threads, procs)
PY
}

# A local port that accepts connections and never answers, for slow
# requests; its pid is stopped at the end with the agents.
silent_port=$(free_port)
python3 - "$silent_port" <<'PY' &
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(256)
held = []
while True:
    c, _ = s.accept()
    held.append(c)
PY
pids+=($!)
wait_port "$silent_port"

start_peer
start_tev ours "$bin" <<CFG
tcp=1
CFG

# One line of the table: agent, moment, footprint.
show() {
  read -r pss threads procs < <(footprint "${pid[$1]}")
  printf '%-6s %-24s %8.2f %8d %6d\n' "$1" "$2" "$(awk -v k="$pss" 'BEGIN { printf "%.2f", k / 1024 }')" "$threads" "$procs"
  echo "$1 $2 $pss" >>"$work/figures"
}

echo "machine: $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %-24s %8s %8s %6s\n' agent moment "PSS MiB" threads procs
: >"$work/figures"
# A few requests first, so that both are measured warm.
"$loadgen" -p "${port[peer]}" --zabbix -c 1 -n 20 >/dev/null
"$loadgen" -p "${port[ours]}" -w bench-secret -C TEST-DiskSpace -c 1 -n 20 >/dev/null
sleep 1
show peer rest
show ours rest
"$loadgen" -p "${port[peer]}" --zabbix -c 64 -n 6400 >/dev/null
"$loadgen" -p "${port[ours]}" -w bench-secret -C TEST-DiskSpace -c 64 -n 6400 >/dev/null
show peer after-quick-burst
show ours after-quick-burst
"$loadgen" -p "${port[ours]}" -w bench-secret -C TEST-TCP -P 127.0.0.1 -P "$silent_port" \
  -P 1000 -P ping -P 10 -c 64 -n 64 >/dev/null || true
show ours after-slow-burst
sleep "$after"
show peer "${after}s-later"
show ours "${after}s-later"
python3 - "$work/figures" "$after" <<'PY'
import sys
f = {}
for line in open(sys.argv[1]):
    a, m, k = line.split()
    f[a, m] = int(k)
later = "%ss-later" % sys.argv[2]
print("\nours over the peer (PSS): at rest %.2f, %s %.2f"
      % (f["ours", "rest"] / f["peer", "rest"], later, f["ours", later] / f["peer", later]))
print("ours %s over ours at rest (PSS): %.2f" % (later, f["ours", later] / f["ours", "rest"]))
PY
