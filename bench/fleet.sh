#!/usr/bin/env bash
# Many agents asked at once: N real agents (default 200) on N loopback
# addresses (127.0.1.1, 127.0.1.2, ... on one port), each with a temporary
# configuration of its own, asked GetInfo in one run by `tevctl --hosts`
# against a shell loop of single tevctl calls over the same hosts file.
# Prints wall time and CPU (user + sys of the client side, children
# included) of each, per round, and the ratio of the medians.
#
#   bench/fleet.sh [N] [ROUNDS]       (TEV_BUILD: build directory, default build)
#
# Idle agents cost little: 200 of them wait in epoll and take no CPU.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TEV_BUILD:-$root/build}
n=${1:-200}
rounds=${2:-3}
tev=$build/tev
ctl=$build/tevctl
[ -x "$tev" ] && [ -x "$ctl" ] || { echo "build tev and tevctl in $build first" >&2; exit 2; }
(( n >= 1 && n <= 254 )) || { echo "N must be 1..254" >&2; exit 2; }

bench_name=fleet
source "$root/bench/agents.sh"

p=$(free_port)
head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$work/pw"
pw=$(cat "$work/pw")
: >"$work/hosts"
echo "# $n agents for bench/fleet.sh" >>"$work/hosts"
for i in $(seq 1 "$n"); do
  addr=127.0.1.$i
  cat >"$work/a$i.cfg" <<CFG
tevpath=$tev
host=$addr
port=$p
password=$pw
CFG
  "$tev" -i "$work/a$i.cfg" >/dev/null 2>&1 &
  pids+=("$!")
  echo "$addr:$p" >>"$work/hosts"
done

# Ready when every agent answers (asked with the client itself).
for _ in $(seq 100); do
  if "$ctl" --hosts "$work/hosts" -W "$work/pw" -t 2000 GetInfo >/dev/null 2>&1; then break; fi
  sleep 0.2
done
"$ctl" --hosts "$work/hosts" -W "$work/pw" GetInfo >/dev/null 2>"$work/ready" ||
  { cat "$work/ready" >&2; echo "not every agent answers" >&2; exit 1; }

one_run='"$ctl" --hosts "$work/hosts" -W "$work/pw" GetInfo >"$work/out.fleet"'
loop_run='grep -v "^#" "$work/hosts" | while read -r h; do
  "$ctl" -H "${h%:*}" -p "${h##*:}" -W "$work/pw" GetInfo >>"$work/out.loop"; done'

# Runs $1 (a command text) under bash's time; prints "wall cpu".
measure() {
  local t
  TIMEFORMAT='%R %U %S'
  t=$( { time eval "$1" 2>/dev/null; } 2>&1 )
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t"
}

declare -a fw fc lw lc
printf "%-7s %-34s %10s %10s\n" round client "wall s" "cpu s"
for r in $(seq 1 "$rounds"); do
  : >"$work/out.loop"
  read -r w c < <(measure "$one_run")
  fw+=("$w"); fc+=("$c")
  printf "%-7s %-34s %10s %10s\n" "$r" "tevctl --hosts (--parallel 32)" "$w" "$c"
  read -r w c < <(measure "$loop_run")
  lw+=("$w"); lc+=("$c")
  printf "%-7s %-34s %10s %10s\n" "$r" "shell loop of tevctl -H" "$w" "$c"
  [ "$(grep -c "	200	" "$work/out.fleet")" -eq "$n" ] || { echo "a host did not answer 200" >&2; exit 1; }
  [ "$(grep -c '^200$' "$work/out.loop")" -eq "$n" ] || { echo "a loop call did not answer 200" >&2; exit 1; }
done

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
mfw=$(median "${fw[@]}"); mfc=$(median "${fc[@]}"); mlw=$(median "${lw[@]}"); mlc=$(median "${lc[@]}")
echo
printf "%-34s %10s %10s\n" "median over $rounds rounds, $n agents" "wall s" "cpu s"
printf "%-34s %10s %10s\n" "tevctl --hosts" "$mfw" "$mfc"
printf "%-34s %10s %10s\n" "shell loop" "$mlw" "$mlc"
awk -v a="$mlw" -v b="$mfw" -v c="$mlc" -v d="$mfc" \
  'BEGIN { printf "loop / --hosts: wall %.1fx, cpu %.1fx\n", (b > 0 ? a / b : 0), (d > 0 ? c / d : 0) }'
