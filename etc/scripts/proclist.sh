#!/bin/sh
# Prints one line per running process: pid, user, CPU usage in percent over
# the process's lifetime (as ps shows it), resident memory in kilobytes and
# the command line ("[name]" for kernel threads), separated by blanks. Tabs,
# line breaks and NULs in a command line are printed as blanks.
# Reads /proc and /etc/passwd only; needs no ps.
LC_ALL=C
export LC_ALL

hz=$(getconf CLK_TCK 2>/dev/null) || hz=100
[ -n "$hz" ] && [ "$hz" -gt 0 ] 2>/dev/null || hz=100
pagekb=$(($(getconf PAGESIZE 2>/dev/null || echo 4096) / 1024))
[ "$pagekb" -gt 0 ] || pagekb=4

# ":uid=name" for every account, searched below without a new process.
users=
while IFS=: read -r uname _ uid _; do
    users="$users:$uid=$uname"
done < /etc/passwd
users="$users:"

read -r up _ < /proc/uptime
# Seconds since boot in hundredths.
up=${up%.*}${up#*.}
while [ "${up#0}" != "$up" ] && [ -n "${up#0}" ]; do up=${up#0}; done

{
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        # A name may hold a line break; the kernel writes it as it is.
        stat=
        while IFS= read -r part; do
            stat="$stat${stat:+ }$part"
        done < "$dir/stat"
        [ -n "$stat" ] || continue
        comm=${stat#*(}
        comm=${comm%)*}
        # Fields after the name: state is 1, utime 12, stime 13, start 20,
        # resident pages 22.
        set -f
        set -- ${stat##*) }
        set +f
        [ $# -ge 22 ] || continue
        ticks=$((${12} + ${13}))
        age=$((up * hz / 100 - ${20}))
        cpu=0
        [ "$age" -gt 0 ] && cpu=$((ticks * 1000 / age))
        rss=$((${22} * pagekb))
        uid=
        while read -r key value _; do
            if [ "$key" = "Uid:" ]; then
                uid=$value
                break
            fi
        done < "$dir/status"
        case $users in
            *":$uid="*)
                user=${users#*":$uid="}
                user=${user%%:*}
                ;;
            *) user=$uid ;;
        esac
        # Arguments may hold tabs and line breaks: each process stays on
        # one line.
        cmd=$(tr '\000\t\n\r' '    ' < "$dir/cmdline")
        cmd=${cmd% }
        [ -n "$cmd" ] || cmd="[$comm]"
        printf '%s %s %d.%d %s %s\n' "$pid" "$user" $((cpu / 10)) $((cpu % 10)) "$rss" "$cmd"
    done
} 2>/dev/null
