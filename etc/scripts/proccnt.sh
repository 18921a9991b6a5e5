#!/bin/sh
# Prints how many running processes are called NAME: the process name the
# kernel keeps (/proc/PID/comm, as "pgrep -c -x NAME" counts) equals NAME
# exactly. The kernel keeps at most 15 characters of a name, so for a longer
# NAME a process counts when its kept name is NAME's first 15 characters and
# the base name of its program (first word of its command line) is NAME.
# NAME is compared as text, never as a pattern. This script itself does not
# count. Reads /proc only; needs no ps.
# Usage: proccnt.sh NAME    Output: one number. Exit code 2 without NAME.
LC_ALL=C
export LC_ALL
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: proccnt.sh NAME" >&2
    exit 2
fi
name=$1
short=$name
long=
if [ ${#name} -gt 15 ]; then
    long=yes
    short=$(printf '%.15s' "$name")
fi
count=0
{
    for dir in /proc/[0-9]*; do
        [ "${dir#/proc/}" = "$$" ] && continue
        comm=
        IFS= read -r comm < "$dir/comm" || continue
        [ "$comm" = "$short" ] || continue
        if [ -n "$long" ]; then
            prog=$(tr '\000' '\n' < "$dir/cmdline" | head -n 1)
            [ "${prog##*/}" = "$name" ] || continue
        fi
        count=$((count + 1))
    done
} 2>/dev/null
echo "$count"
