#!/usr/bin/env bash
# Times the file tests through the real agent against the system tools that
# do the same work, in one run, alternating request and tool, and prints the
# median of each and their ratio.
#
# Usage: bench/filetests.sh [DATA_DIR [ROUNDS]]
#   DATA_DIR  where the data is made once and kept (default /tmp/tev_filebench):
#             a 256 MiB file and its copy, a 512 MiB text file, a tree of
#             100,000 files in 1,000 folders (about 1.3 GiB in all)
#   ROUNDS    timed rounds per pair (default 7)
# Builds a Release tree in build-rel/ when tev or tevctl is missing. The
# agent runs on a free loopback port with a temporary configuration and is
# stopped at the end. Requests go through tevctl, so every agent figure
# includes starting the client, one connection and the packet cipher.
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
DATA=${1:-/tmp/tev_filebench}
ROUNDS=${2:-7}
BUILD=$REPO/build-rel

if [[ ! -x $BUILD/tev || ! -x $BUILD/tevctl ]]; then
    cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTEV_BENCH=OFF >/dev/null
    cmake --build "$BUILD" --target tev tevctl -j2 >/dev/null
fi

make_data() {
    mkdir -p "$DATA"
    [[ -f $DATA/.complete ]] && return
    echo "making data in $DATA (once)..." >&2
    head -c 256M /dev/urandom >"$DATA/big.bin"
    cp "$DATA/big.bin" "$DATA/big2.bin"
    # Log-like lines: a 1 MiB block of varied lines, repeated.
    awk 'BEGIN { srand(7);
        split("alpha beta gamma delta kernel session request reply timeout disk " \
              "volume mount user root cron daemon error warning notice info " \
              "connection accepted closed refused started stopped", w, " ");
        n = 0;
        while (n < 1048576) {
            line = sprintf("2026-12-10 %02d:%02d:%02d host%d app[%d]:", int(rand()*24),
                           int(rand()*60), int(rand()*60), int(rand()*9), int(rand()*30000));
            k = 4 + int(rand()*10);
            for (i = 0; i < k; i++) line = line " " w[1 + int(rand()*30)];
            print line; n += length(line) + 1;
        } }' >"$DATA/block.txt"
    truncate -s 1048576 "$DATA/block.txt"
    for _ in $(seq 512); do cat "$DATA/block.txt"; done >"$DATA/text.txt"
    rm -f "$DATA/block.txt"
    mkdir -p "$DATA/tree"
    for d in $(seq 1000); do
        mkdir -p "$DATA/tree/d$d"
        head -c 10000 /dev/urandom >"$DATA/tree/d$d/chunk"
        (cd "$DATA/tree/d$d" && split -b 100 -a 2 chunk f && rm chunk)
    done
    touch "$DATA/.complete"
}

make_data
echo "warming the page cache..." >&2
cat "$DATA/big.bin" "$DATA/big2.bin" "$DATA/text.txt" >/dev/null
du -sb "$DATA/tree" >/dev/null
find "$DATA/tree" >/dev/null

WORK=$(mktemp -d /tmp/tev_bench_XXXXXX)
AGENT_PID=
cleanup() {
    if [[ -n $AGENT_PID ]]; then
        kill "$AGENT_PID" 2>/dev/null || true
        wait "$AGENT_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

PASSWORD=bench$RANDOM$RANDOM
start_agent() {
    for _ in 1 2 3 4 5; do
        # Below the ephemeral range, where closed connections linger.
        PORT=$((10000 + RANDOM % 22000))
        printf 'tevpath=%s\nport=%s\npassword=%s\ntimeout=60000\n' \
            "$BUILD/tev" "$PORT" "$PASSWORD" >"$WORK/tev.cfg"
        "$BUILD/tev" -i "$WORK/tev.cfg" >"$WORK/agent.out" 2>&1 &
        AGENT_PID=$!
        for _ in $(seq 100); do
            grep -q 'Listening' "$WORK/agent.out" && return 0
            kill -0 "$AGENT_PID" 2>/dev/null || break
            sleep 0.05
        done
        kill "$AGENT_PID" 2>/dev/null || true
        wait "$AGENT_PID" 2>/dev/null || true
        AGENT_PID=
    done
    echo "agent did not start" >&2
    exit 1
}
start_agent

ask() { "$BUILD/tevctl" -p "$PORT" -w "$PASSWORD" -t 120000 "$@"; }

# Microseconds taken by the command (its output discarded).
elapsed_us() {
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

NEEDLE=QzXwVkJqPyUb  # 12 bytes, absent from the text
declare -a ROWS
# pair NAME TARGET TOOL_LABEL -- AGENT_ARGS... -- TOOL_COMMAND...
pair() {
    local name=$1 target=$2 label=$3
    shift 4
    local agent=() tool=()
    while [[ $1 != -- ]]; do agent+=("$1"); shift; done
    shift
    tool=("$@")
    echo "  agent answer: $(ask "${agent[@]}" | tr '\n' ' ')" >&2
    local a=() t=()
    for _ in $(seq "$ROUNDS"); do
        a+=("$(elapsed_us ask "${agent[@]}")")
        t+=("$(elapsed_us "${tool[@]}")")
    done
    local ma mt
    ma=$(median "${a[@]}")
    mt=$(median "${t[@]}")
    ROWS+=("$(awk -v n="$name" -v a="$ma" -v t="$mt" -v g="$target" -v tl="$label" \
        'BEGIN { printf "| %s | %.1f | %s | %.1f | %.2f | %s |", n, a / 1000, tl, t / 1000, a / t, g }')")
    echo "${ROWS[-1]}" >&2
}

sh_grep() { grep -c -F "$NEEDLE" "$DATA/text.txt"; }
sh_grepi() { grep -c -i -F "$NEEDLE" "$DATA/text.txt"; }
sh_find() { find "$DATA/tree" -type f | wc -l; }
sh_cat() { cat "$DATA/big.bin" >/dev/null; }

echo "timing ($ROUNDS rounds each, alternating)..." >&2
pair "TEST-FileCRC 256 MiB" "<= 1.3" "cat FILE > /dev/null" \
    -- TEST-FileCRC "$DATA/big.bin" -- sh_cat
pair "TEST-FolderSize recursive" "<= 1.0" "du -sb DIR" \
    -- TEST-FolderSize "$DATA/tree" 1 -- du -sb "$DATA/tree"
pair "TEST-CountFiles * recursive, mode 0" "<= 1.5" "find DIR -type f | wc -l" \
    -- TEST-CountFiles "$DATA/tree" '*' 1 0 -- sh_find
pair "TEST-FileCompare 3, 512 MiB, case-sensitive" "<= 1.5" "grep -c -F" \
    -- TEST-FileCompare 3 "$DATA/text.txt" "$NEEDLE" 1 0 -- sh_grep
pair "TEST-FileCompare 3, 512 MiB, case-insensitive" "<= 2.0" "grep -c -i -F" \
    -- TEST-FileCompare 3 "$DATA/text.txt" "$NEEDLE" 0 0 -- sh_grepi
pair "TEST-FileCompare 1, content, 2 x 256 MiB" "<= 1.3" "cmp F1 F2" \
    -- TEST-FileCompare 1 "$DATA/big.bin" "$DATA/big2.bin" 0 0 1 -- cmp "$DATA/big.bin" "$DATA/big2.bin"

echo
echo "| request | agent ms (median) | tool | tool ms (median) | ratio | target |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${ROWS[@]}"
echo
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $ROUNDS rounds"
