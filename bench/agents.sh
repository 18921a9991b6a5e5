# Sourced by the benchmark scripts that run our agent beside the Zabbix
# agent: a scratch directory removed at exit with every agent started in it
# stopped, free loopback ports, and the start of both agents. Needs $root
# (the checkout) and python3; sets $work, the arrays pids, port and pid.

work=$(mktemp -d "/tmp/tev-${bench_name:-bench}-XXXXXX")
pids=()
declare -A port pid
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A free loopback port below 32768 (the peer accepts no higher one).
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

# Waits until something answers on 127.0.0.1:$1.
wait_port() {
  for _ in $(seq 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2).close()" \
      2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# The peer from its Debian package, installed when missing (as root); a
# system service the package starts is stopped (only that one, by the pid
# file of the packaged configuration).
peer_bin=/usr/sbin/zabbix_agentd
ensure_peer() {
  [ -x "$peer_bin" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "zabbix-agent is not installed, and installing it needs root" >&2
    exit 2
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends zabbix-agent \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
  if command -v systemctl >/dev/null && systemctl is-active --quiet zabbix-agent 2>/dev/null; then
    systemctl stop zabbix-agent || true
  fi
  local svc_pidfile
  svc_pidfile=$(sed -n 's/^PidFile=//p' /etc/zabbix/zabbix_agentd.conf 2>/dev/null | tail -1)
  svc_pidfile=${svc_pidfile:-/run/zabbix/zabbix_agentd.pid}
  if [ -s "$svc_pidfile" ] && kill -0 "$(cat "$svc_pidfile")" 2>/dev/null; then
    kill "$(cat "$svc_pidfile")" || true
  fi
}

# Starts the peer with a private configuration under the name "peer", in a
# session of its own, as a daemon would run.
start_peer() {
  ensure_peer
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

# Starts our agent binary $2 as a daemon under the name $1 (password
# bench-secret, no connection logs); further configuration lines come from
# standard input.
start_tev() {
  local name=$1 bin=$2
  port[$name]=$(free_port)
  {
    cat <<CFG
tevpath=$bin
port=${port[$name]}
password=bench-secret
logsuccess=0
logfails=0
pidfile=$work/$name.pid
CFG
    cat
  } >"$work/$name.cfg"
  "$bin" "$work/$name.cfg" >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; exit 1; }
  for _ in $(seq 50); do [ -s "$work/$name.pid" ] && break; sleep 0.1; done
  pid[$name]=$(tr -dc 0-9 <"$work/$name.pid")
  pids+=("${pid[$name]}")
  wait_port "${port[$name]}" || { echo "$name did not start:"; cat "$work/$name.out"; exit 1; }
}
