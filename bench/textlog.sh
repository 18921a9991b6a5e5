#!/usr/bin/env bash
# Log watching speed: the agent's TEST-TextLog scan of a whole 512 MiB log
# (scan-all 1 from position 0) against grep on the same file, alternating,
# medians and ratios. Also the agent's peak memory around a scan of a file
# that is one 1 GiB line.
#
#   bench/textlog.sh [runs]        (default 7 runs of each command)
#
# Self-contained: builds build-rel (Release) when needed, makes the log once
# in $TEV_BENCH_DIR (default ${TMPDIR:-/tmp}/tev-bench), warms the page cache,
# starts the agent on a free loopback port with a temporary configuration,
# and stops it at the end. Figures depend on the machine's load; run it on an
# idle machine for numbers to compare.
set -euo pipefail

RUNS=${1:-7}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-rel
DATA=${TEV_BENCH_DIR:-${TMPDIR:-/tmp}/tev-bench}
LOG=$DATA/textlog-512m.log
LONG=$DATA/oneline-1g.log
TEXT1="quota exceeded"
TEXT2="segfault at"

if [[ ! -x $BUILD/tev || ! -x $BUILD/tevctl ]]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTEV_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" -j2 --target tev tevctl >/dev/null

mkdir -p "$DATA"
if [[ ! -s $LOG ]]; then
    echo "making $LOG (512 MiB, once)"
    python3 - "$LOG" "$TEXT1" "$TEXT2" <<'EOF'
import random, sys
path, text1, text2 = sys.argv[1], sys.argv[2], sys.argv[3]
rng = random.Random(20261210)
hosts = ["web-%02d" % i for i in range(24)]
apps = ["nginx", "app", "sshd", "kernel", "cron", "postgres", "worker"]
levels = ["INFO"] * 20 + ["DEBUG"] * 6 + ["WARN"] * 3 + ["ERROR"]
paths = ["/api/v1/items/%d", "/api/v1/users/%d/orders", "/static/js/app.%d.js",
         "/health?probe=%d", "/login?next=/cart/%d", "/search?q=item%d"]
users = ["alice", "bob", "carol", "dave", "eve", "mallory", "trent"]
target = 512 << 20
out, size, n = [], 0, 0
with open(path, "w") as f:
    while size < target:
        n += 1
        t = "2026-12-%02dT%02d:%02d:%02d.%06d+00:00" % (
            1 + n // 400000 % 28, n // 20000 % 24, n // 300 % 60, n // 5 % 60, rng.randrange(10**6))
        head = "%s %s %s[%d]: %s " % (t, rng.choice(hosts), rng.choice(apps),
                                      rng.randrange(100, 65000), rng.choice(levels))
        r = rng.randrange(10000)
        if r == 0:
            body = "disk %s for user %s on /dev/sdb%d" % (
                text1 if rng.randrange(4) else text1.title(), rng.choice(users), rng.randrange(8))
        elif r == 1:
            body = "worker[%d]: %s %016x ip %016x sp %016x error 4" % (
                rng.randrange(99999), text2, rng.getrandbits(64), rng.getrandbits(64),
                rng.getrandbits(64))
        elif r == 2:
            body = "%s after %s in job %d" % (text1, text2, rng.randrange(9999))
        else:
            body = "request id=%08x method=GET path=%s status=%d took=%dms user=%s" % (
                rng.getrandbits(32), rng.choice(paths) % rng.randrange(100000),
                rng.choice([200, 200, 200, 304, 404, 500]), rng.randrange(2000),
                rng.choice(users))
        line = head + body + "\n"
        out.append(line)
        size += len(line)
        if len(out) >= 20000:
            f.write("".join(out))
            out = []
    f.write("".join(out))
EOF
fi
if [[ ! -s $LONG ]]; then
    # Sparse: one line of 1 GiB of zero bytes, then a terminator.
    truncate -s $((1 << 30)) "$LONG"
    printf '\n' >>"$LONG"
fi

WORK=$(mktemp -d)
AGENT_PID=
cleanup() {
    if [[ -n $AGENT_PID ]]; then kill "$AGENT_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
PASS=bench$RANDOM$RANDOM
printf 'tevpath=%s\nport=%s\npassword=%s\ntextlog=1\ntimeout=600000\n' \
    "$BUILD/tev" "$PORT" "$PASS" >"$WORK/tev.cfg"
"$BUILD/tev" -i "$WORK/tev.cfg" >"$WORK/agent.out" 2>&1 &
AGENT_PID=$!
for _ in $(seq 100); do
    grep -q "Listening..." "$WORK/agent.out" && break
    sleep 0.1
done
grep -q "Listening..." "$WORK/agent.out" || { cat "$WORK/agent.out"; exit 1; }

cat "$LOG" >/dev/null  # page cache

ctl() { "$BUILD/tevctl" -p "$PORT" -w "$PASS" -t 600000 "$@"; }
# TEST-TextLog over the whole file: position 0, lastSize 1, lastAge 1,
# scan-all 1, whole-word 0. $1 text, $2 isExpression, $3 caseSensitive.
agent_scan() { ctl TEST-TextLog "$LOG" "$1" 0 1 1 "$2" 1 "$3" 0; }

now_ns() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

# compare NAME "agent command" "grep command"
# Output goes to a file: GNU grep stops at the first match when its output
# is /dev/null.
compare() {
    local name=$1 agent_cmd=$2 grep_cmd=$3 a=() g=() t0 t1
    for ((i = 0; i < RUNS; i++)); do
        t0=$(now_ns); eval "$agent_cmd" >"$WORK/out"; t1=$(now_ns); a+=($(((t1 - t0) / 1000000)))
        t0=$(now_ns); eval "$grep_cmd" >"$WORK/out" || true; t1=$(now_ns); g+=($(((t1 - t0) / 1000000)))
    done
    local am gm
    am=$(printf '%s\n' "${a[@]}" | median)
    gm=$(printf '%s\n' "${g[@]}" | median)
    printf '| %-34s | %8s | %8s | %5.2f |\n' "$name" "$am" "$gm" "$(awk -v a="$am" -v g="$gm" 'BEGIN{print a/g}')"
}

echo "log: $LOG ($(stat -c %s "$LOG") bytes, $(wc -l <"$LOG") lines); runs: $RUNS each, alternating"
echo "sanity: agent offset / grep count"
for q in "$TEXT1|0|1|-F" "$TEXT1|0|0|-i -F"; do
    IFS='|' read -r t e c opt <<<"$q"
    echo "  '$t' cs=$c: $(agent_scan "$t" "$e" "$c" | sed -n 2p | tr -d ' ') / $(grep -c $opt "$t" "$LOG")"
done
echo "  expressions: $(agent_scan "'$TEXT1' or '$TEXT2'" 1 1 | sed -n 2p | tr -d ' ') /" \
    "$(grep -c -E "$TEXT1|$TEXT2" "$LOG"); $(agent_scan "'$TEXT1' and not '$TEXT2'" 1 1 | sed -n 2p | tr -d ' ')"
echo
echo "| case (medians, ms)                 |    agent |     grep | ratio |"
echo "|------------------------------------|----------|----------|-------|"
compare "plain, case-sensitive" "agent_scan '$TEXT1' 0 1" "grep -c -F '$TEXT1' '$LOG'"
compare "plain, case-insensitive" "agent_scan '$TEXT1' 0 0" "grep -c -i -F '$TEXT1' '$LOG'"
compare "'t1' or 't2'" "agent_scan \"'$TEXT1' or '$TEXT2'\" 1 1" \
    "grep -c -E '$TEXT1|$TEXT2' '$LOG'"
compare "'t1' and not 't2'" "agent_scan \"'$TEXT1' and not '$TEXT2'\" 1 1" \
    "grep -c -E '$TEXT1|$TEXT2' '$LOG'"
# No target: a line holding no operand can match, so every line is tested.
compare "not 't1' (every line tested)" "agent_scan \"not '$TEXT1'\" 1 1" \
    "grep -c -v -F '$TEXT1' '$LOG'"

hwm() { awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status"; }
before=$(hwm)
cat "$LONG" >/dev/null
ctl TEST-TextLog "$LONG" "$TEXT1" 0 1 1 0 1 1 0 >/dev/null
echo
echo "agent peak resident memory (VmHWM) before / after scanning a 1 GiB single-line file:" \
    "$before KiB / $(hwm) KiB"
echo "load while measuring: $(cut -d' ' -f1-3 /proc/loadavg)"
