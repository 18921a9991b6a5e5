#!/bin/sh
# Prints the machine's CPU usage in percent over a short interval (half a
# second where sleep takes fractions, else one second), with one decimal,
# for example 12.5. Busy time is everything but idle and I/O wait, from the
# first line of /proc/stat. Reads /proc only.
LC_ALL=C
export LC_ALL

# Sets busy and total (clock ticks since boot) from /proc/stat.
sample() {
    read -r _ user nice system idle iowait irq softirq steal _ < /proc/stat
    busy=$((user + nice + system + ${irq:-0} + ${softirq:-0} + ${steal:-0}))
    total=$((busy + idle + ${iowait:-0}))
}

sample || exit 1
busy0=$busy
total0=$total
sleep 0.5 2>/dev/null || sleep 1
sample || exit 1
dbusy=$((busy - busy0))
dtotal=$((total - total0))
if [ "$dtotal" -le 0 ]; then
    echo "0.0"
    exit 0
fi
tenths=$(((dbusy * 1000 + dtotal / 2) / dtotal))
echo "$((tenths / 10)).$((tenths % 10))"
