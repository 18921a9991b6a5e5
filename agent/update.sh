#!/bin/sh
# The update script of tev's self-upgrade: puts a new program in place of
# the running one, starts it with the agent's own arguments ("$@") and
# watches it until it has proven itself; otherwise ends it, with everything
# it started, and puts the old program back and starts that.
#
# The agent writes this text into its temporary folder, after four lines
# that set oldTEV (the running program, `tevpath`), newTEV (the received
# file), self (this script's path) and proof (the seconds a new program has
# to prove itself), and executes it in place of itself. Before that the
# agent makes its process a child subreaper, which the exec keeps: every
# process the new program starts stays below this shell, even one that left
# its process group and session (setsid) and whose parent ended, so a
# rollback can find and end them all. What the new program hands to others
# (a service manager, at, cron) is out of reach.
#
# The new program proves itself by removing the backup "$oldTEV.old" (it
# does so once it has answered a request, or has served for $proof
# seconds); as a daemon it writes its pid into "$oldTEV.old.pid" so this
# script can watch it. Without that proof within $proof seconds and ten more
# for its start-up, or when it ends before, it is rolled back.
# shellcheck disable=SC2154 # oldTEV, newTEV, self and proof are set above this text

# The shell has the script open already, so it may go at once.
rm -f -- "$self"
copy="$oldTEV.new.$$"
keep="$oldTEV.old"
mark="$keep.pid"
rm -f -- "$mark"

# live PID: true while process PID exists and has not ended (a zombie has).
live() {
  line=
  [ -n "$1" ] && read -r line 2>/dev/null <"/proc/$1/stat"
  state=${line##*) }
  [ -n "$line" ] && [ "${state%% *}" != Z ]
}

# end_all: kills every live process whose parent is this shell, again until
# none is left (the children of a killed one come to this shell in turn).
end_all() {
  rounds=0
  while [ "$rounds" -lt 50 ]; do
    found=
    for status in /proc/[0-9]*/status; do
      ppid=
      state=
      while read -r key value rest; do
        case $key in
          State:) state=$value ;;
          PPid:) ppid=$value && break ;;
        esac
      done 2>/dev/null <"$status"
      if [ "$ppid" = "$$" ] && [ "$state" != Z ]; then
        victim=${status#/proc/}
        kill -9 "${victim%/status}" 2>/dev/null && found=1
      fi
    done
    [ -n "$found" ] || return 0
    rounds=$((rounds + 1))
    sleep 0.2 2>/dev/null || sleep 1
  done
}

# Copy beside the old program and rename over it: a failed copy (a full
# disk, a read-only folder) leaves the old program as it was.
if cp -- "$newTEV" "$copy" && chmod 775 -- "$copy" &&
  { ln -f -- "$oldTEV" "$keep" || cp -p -- "$oldTEV" "$keep"; } &&
  mv -f -- "$copy" "$oldTEV"; then
  rm -f -- "$newTEV"
  TEV_UPGRADE_BACKUP=$keep TEV_UPGRADE_PROOF_SECONDS=$proof "$oldTEV" "$@" &
  child=$!
  rc=
  daemon=
  waited=0
  limit=$((proof + 10))
  while [ -e "$keep" ] && [ "$waited" -lt "$limit" ]; do
    if [ -z "$rc" ] && ! live "$child"; then
      wait "$child"
      rc=$?
      [ "$rc" -eq 0 ] || break
    fi
    # A daemon's starting process returns once the daemon serves: the
    # daemon itself is watched, by the pid it wrote.
    if [ -n "$rc" ]; then
      [ -n "$daemon" ] || read -r daemon 2>/dev/null <"$mark"
      if [ -n "$daemon" ] && ! live "$daemon"; then
        break
      fi
    fi
    sleep 1
    waited=$((waited + 1))
  done
  if [ ! -e "$keep" ]; then
    # Proven. A program in the foreground (-i) still runs: this script
    # ends with it, and with its exit code.
    if [ -z "$rc" ]; then
      wait "$child"
      rc=$?
    fi
    rm -f -- "$mark"
    exit "$rc"
  fi
  if [ -z "$rc" ] || { [ "$rc" -eq 0 ] && live "$daemon"; }; then
    echo "tev update: the new program has not proven itself within $limit s, ending it and all it started; starting the old one" >&2
  elif [ "$rc" -eq 126 ] || [ "$rc" -eq 127 ]; then
    echo "tev update: the new program cannot be executed, starting the old one" >&2
  else
    echo "tev update: the new program failed before it proved itself, starting the old one" >&2
  fi
  if [ -n "$daemon" ]; then
    kill -9 "-$daemon" "$daemon" 2>/dev/null
  fi
  end_all
  if [ -z "$rc" ]; then
    wait "$child"
  fi
  rm -f -- "$mark"
  mv -f -- "$keep" "$oldTEV" || oldTEV=$keep
else
  echo "tev update: cannot put the new program in place, starting the old one" >&2
  rm -f -- "$copy" "$keep" "$newTEV"
fi
"$oldTEV" "$@"
