#!/usr/bin/env bash
# Checks the packages that tools/package.sh made into out/ (x86-64), as root,
# on roots of their own (nothing of this host is changed but mounts of /proc
# under build-installed/, undone at the end):
#   unit         the packaged systemd unit's exposure, systemd-analyze
#                security --offline=yes: at most 3.0
#   debian11     a Debian 11 root (debootstrap --variant=minbase bullseye,
#                glibc 2.31; made once and cached as
#                build-installed/debian11-root.tar): the .deb installed with
#                dpkg over what an installation of the agent as root left
#                (maintainer scripts run, no systemd; the configuration must
#                be kept and handed to the user tev), the agent started as
#                the packaged user and checked end to end with the installed
#                tevctl; purged and installed again with apt-get from
#                out/apt as a file: source
#   emptyroot    the .rpm's files (rpm2cpio) in an otherwise empty root, plus
#                /proc, /dev/null and /dev/urandom, a minimal /etc/passwd,
#                /etc/group and /etc/hosts: the agent served from there
# "installed-test.sh unit|debian11|emptyroot" runs one part.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "installed-test: must run as root (chroot, mounts)" >&2; exit 2; }

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' CMakeLists.txt)
deb=$PWD/out/tev_${version}_amd64.deb
rpm=$PWD/out/tev-$version-1.x86_64.rpm
for f in "$deb" "$rpm" out/apt/Packages; do
  [ -e "$f" ] || { echo "installed-test: $f missing: run tools/package.sh first" >&2; exit 2; }
done
cache=$PWD/build-installed
mkdir -p "$cache"
work=$(mktemp -d "$cache/run.XXXXXX")

fails=0
ok() { echo "  ok    $*"; }
bad() { echo "  FAIL  $*"; fails=$((fails + 1)); }
check() {  # description, command...
  local what=$1; shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}
quiet() { "$@" >/dev/null 2>&1; }

# What this run started and mounted, undone on any exit: agents by the pid
# their pid file names (only when that process runs a tev of the root), then
# the /proc mounts, then the roots.
mounts=()
agents=()
cleanup() {
  local pid
  for pid in "${agents[@]}"; do
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${agents[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[$i]}" 2>/dev/null || umount -l "${mounts[$i]}" 2>/dev/null || true
  done
  # Only when nothing is mounted below any more: rm must not reach the host.
  if ! grep -q " $work/" /proc/mounts; then rm -rf "$work"; fi
}
trap cleanup EXIT

mount_proc() {  # root
  mkdir -p "$1/proc"
  mount -t proc proc "$1/proc"
  mounts+=("$1/proc")
}

port_free() { ! grep -qi ":$(printf '%04X' "$1") " /proc/net/tcp /proc/net/tcp6 2>/dev/null; }
free_port() {
  local port=$((20000 + RANDOM % 20000))
  while ! port_free "$port"; do port=$((port + 1)); done
  echo "$port"
}

# Waits until the root's pid file names a live process and prints it (empty
# after 10 s); with an old pid, waits for another one.
wait_pid() {  # root, [old pid]
  local pid=""
  for _ in $(seq 100); do
    pid=$(cat "$1/run/tev/tev.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && [ "$pid" != "${2:-}" ] && kill -0 "$pid" 2>/dev/null; then
      echo "$pid"
      return
    fi
    sleep 0.1
  done
}

# Whether the agent can become an unprivileged user itself (tev -u USER);
# otherwise it is started as root and the transcript says so.
can_drop() {  # root
  chroot "$1" /usr/sbin/tev --help 2>&1 | grep -q -- '-u '
}

# Starts the installed agent in the root, as the user tev where it can;
# sets agent_pid (empty when it did not come up).
agent_pid=""
start_agent() {  # root
  local how=(/usr/sbin/tev -d /etc/tev/tev.cfg)
  if can_drop "$1"; then
    how=(/usr/sbin/tev -u tev -d /etc/tev/tev.cfg)
  else
    echo "  note  this tev has no -u: the agent runs as root in the root"
  fi
  echo "  start chroot ${how[*]}"
  (cd / && env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin chroot "$1" "${how[@]}" >/dev/null 2>&1) || true
  agent_pid=$(wait_pid "$1")
  agents+=("$agent_pid")
}

# The installed configuration, made ready for a local check: a free port,
# and the rights a test below needs.
prepare_config() {  # root, port, key=value...
  local root=$1 port=$2
  local cfg=$root/etc/tev/tev.cfg
  shift 2
  sed -i -e "s/^port=.*/port=$port/" "$cfg"
  local kv
  for kv in "$@"; do sed -i -e "s/^${kv%%=*}=.*/$kv/" "$cfg"; done
  sed -n 's/^password=//p' "$cfg" | tr -d '\r' >"$root/tmp/tev-password"
  chmod 0600 "$root/tmp/tev-password"
}

uid_of() { awk '/^Uid:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

unit_check() {
  echo "== unit: systemd-analyze security --offline=yes"
  local unit=$work/unit/tev.service
  mkdir -p "$work/unit"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/tev.service >"$unit"
  local line exposure
  line=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null | grep 'Overall exposure level' || true)
  echo "  $line"
  exposure=$(sed -n 's/.*: \([0-9.]*\) .*/\1/p' <<<"$line")
  check "exposure $exposure at most 3.0" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }'
  check "systemd-analyze verify (paths of this host aside)" \
    bash -c "! systemd-analyze verify '$unit' 2>&1 | grep -v 'is not executable\|man tev\|man tevctl' | grep ."
}

debian11_root() {  # target folder
  if [ ! -s "$cache/debian11-root.tar" ]; then
    echo "  debootstrap --variant=minbase bullseye (once; cached in $cache)"
    local fresh=$work/debootstrap
    debootstrap --variant=minbase --include=adduser bullseye "$fresh" http://deb.debian.org/debian \
      >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log"; exit 1; }
    tar -C "$fresh" -cf "$cache/debian11-root.tar.tmp" .
    mv "$cache/debian11-root.tar.tmp" "$cache/debian11-root.tar"
    rm -rf "$fresh"
  fi
  mkdir -p "$1"
  tar -C "$1" -xf "$cache/debian11-root.tar"
}

# End-to-end checks of the installed agent from inside its root.
serve_checks() {  # root, port, pid
  local root=$1 port=$2 pid=$3 tev_uid
  tev_uid=$(chroot "$root" id -u tev)
  ctl() { chroot "$root" /usr/bin/tevctl -p "$port" -W /tmp/tev-password "$@"; }
  check "agent $pid runs" test -n "$pid"
  if can_drop "$root"; then
    check "agent runs as tev (uid $(uid_of "$pid"))" test "$(uid_of "$pid")" = "$tev_uid"
  fi
  local info
  info=$(ctl -d GetInfo || true)
  echo "  GetInfo: $(head -n 3 <<<"$info" | tr '\n' ' ')"
  check "GetInfo 200" test "$(head -n 1 <<<"$info")" = 200
  local reply
  reply=$(ctl TEST-FileExists /etc/debian_version || true)
  echo "  TEST-FileExists /etc/debian_version: $(tr '\n' ' ' <<<"$reply")"
  check "file test 200" test "$(head -n 1 <<<"$reply")" = 200
  reply=$(ctl TEST-ExternalPrg "/bin/sh -c 'exit 3'" "" "" 0 || true)
  echo "  TEST-ExternalPrg sh -c 'exit 3': $(tr '\n' ' ' <<<"$reply")"
  check "external program's exit code 3" test "$(tr '\n' ' ' <<<"$reply")" = "200 3 "
  reply=$(ctl TEST-Process "" tev || true)
  echo "  TEST-Process tev: $(tr '\n' ' ' <<<"$reply")"
  check "process count finds the agent" grep -qE '^200 [1-9][0-9]* $' <<<"$(tr '\n' ' ' <<<"$reply")"
  reply=$(ctl -d GetProcessesList || true)
  check "process list names the agent ($(grep " /usr/sbin/tev " <<<"$reply" | head -n 1))" \
    grep -qE "^$pid [^ ]+ .* /usr/sbin/tev " <<<"$reply"
  reply=$(ctl ReloadApp || true)
  check "ReloadApp 200" test "$(head -n 1 <<<"$reply")" = 200
  local newpid
  newpid=$(wait_pid "$root" "$pid")
  agents+=("$newpid")
  check "new daemon $newpid after ReloadApp" test -n "$newpid"
  if can_drop "$root" && [ -n "$newpid" ]; then
    check "still as tev after ReloadApp" test "$(uid_of "$newpid")" = "$tev_uid"
  fi
  check "GetInfo 200 after ReloadApp" test "$(ctl GetInfo | head -n 1)" = 200
  check "QUIT 200" test "$(ctl QUIT | head -n 1)" = 200
  for _ in $(seq 50); do kill -0 "$newpid" 2>/dev/null || break; sleep 0.1; done
  check "agent gone after QUIT" bash -c "! kill -0 '$newpid' 2>/dev/null"
}

# What the package made when the agent ran as root, as that agent left it:
# the configuration rewritten with CR LF line ends, root's, the pid file
# directly in /run, the process tools by path; a log of root's.
seed_root_installation() {  # root
  local root=$1 template
  template=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/tev/tev.cfg.template)
  mkdir -p "$root/etc/tev" "$root/var/log/tev"
  chmod 0755 "$root/etc/tev"
  sed -e 's/^password=.*/password=kept-from-root-days/' -e 's/^filteractive=.*/filteractive=0/' \
      -e 's|^pidfile=.*|pidfile=/run/tev.pid|' -e 's/^comment=.*/comment=installed as root/' \
      -e 's|^proccntscript=.*|proccntscript=/usr/libexec/tev/proccnt|' \
      -e 's|^cpuusagescript=.*|cpuusagescript=/usr/libexec/tev/cpuusage|' -e 's/$/\r/' \
      <<<"$template" >"$root/etc/tev/tev.cfg"
  chmod 0600 "$root/etc/tev/tev.cfg"
  echo "old line" >"$root/var/log/tev/failure.log"
  chown -R 0:0 "$root/etc/tev" "$root/var/log/tev"
}

debian11_check() {
  echo "== Debian 11 root: dpkg -i over a root-owned installation, then apt-get install from out/apt"
  local root=$work/debian11 start=$SECONDS
  debian11_root "$root"
  echo "  $(cat "$root/etc/debian_version"), $(chroot "$root" ldd --version | head -n 1)"
  mount_proc "$root"
  seed_root_installation "$root"
  local cfg=$root/etc/tev/tev.cfg
  cp "$cfg" "$work/seeded.cfg"
  cp "$deb" "$root/tmp/"
  chroot "$root" dpkg -i "/tmp/$(basename "$deb")" 2>&1 | sed 's/^/  dpkg: /'
  check "installed" quiet chroot "$root" dpkg -s tev
  check "user tev: $(chroot "$root" getent passwd tev)" quiet chroot "$root" getent passwd tev
  check "/etc/tev tev:tev 0750" test "$(chroot "$root" stat -c '%U:%G %a' /etc/tev)" = "tev:tev 750"
  check "tev.cfg tev:tev 0600" test "$(chroot "$root" stat -c '%U:%G %a' /etc/tev/tev.cfg)" = "tev:tev 600"
  check "root's log moved to tev" test "$(chroot "$root" stat -c '%U' /var/log/tev /var/log/tev/failure.log | tr '\n' ' ')" = "tev tev "
  check "root's configuration kept, only the pid file moved to /run/tev/ (CR LF kept)" \
    test "$(diff "$work/seeded.cfg" "$cfg" | grep '^[<>]' | tr '\r\n' '~ ')" = "< pidfile=/run/tev.pid~ > pidfile=/run/tev/tev.pid~ "
  local port
  port=$(free_port)
  prepare_config "$root" "$port" external=1
  start_agent "$root"
  serve_checks "$root" "$port" "$agent_pid"

  echo "  -- purged, then apt-get install tev from out/apt (file: source)"
  chroot "$root" dpkg --purge tev 2>&1 | sed 's/^/  dpkg: /'
  check "purge removed the configuration" test ! -e "$root/etc/tev"
  mkdir -p "$root/srv"
  cp -R out/apt "$root/srv/apt"
  chmod -R a+rX "$root/srv/apt"
  echo 'deb [trusted=yes] file:/srv/apt ./' >"$root/etc/apt/sources.list"
  rm -rf "$root/var/lib/apt/lists"/*
  chroot "$root" apt-get update -qq 2>&1 | sed 's/^/  apt: /'
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq -o Dpkg::Use-Pty=0 tev 2>&1 | sed 's/^/  apt: /'
  check "apt-get installed tev $version" \
    test "$(chroot "$root" dpkg-query -W -f '${Status} ${Version}' tev)" = "install ok installed $version"
  check "tev.cfg made anew, tev:tev 0600" \
    test "$(chroot "$root" stat -c '%U:%G %a' /etc/tev/tev.cfg)" = "tev:tev 600"
  local line
  for line in filteractive=1 filterlist=127.0.0.1 allowupdates=0 pidfile=/run/tev/tev.pid \
              tmpdir=/var/lib/tev proccntscript=builtin cpuusagescript=builtin \
              proclistscript=builtin; do
    check "$line" grep -qx "$line" "$cfg"
  done
  local rc=0
  chroot "$root" /usr/sbin/tev --check /etc/tev/tev.cfg >"$work/check.txt" 2>&1 || rc=$?
  sed 's/^/  tev --check: /' "$work/check.txt"
  check "tev --check on the installed configuration: no error (exit $rc)" test "$rc" -ne 1
  port=$(free_port)
  prepare_config "$root" "$port"
  start_agent "$root"
  ctl() { chroot "$root" /usr/bin/tevctl -p "$port" -W /tmp/tev-password "$@"; }
  check "GetInfo 200 from the apt installation" test "$(ctl GetInfo | head -n 1)" = 200
  local reply
  reply=$(ctl TEST-Process "" tev || true)
  echo "  TEST-Process tev (builtin): $(tr '\n' ' ' <<<"$reply")"
  check "process count answered by the agent itself" grep -qE '^200 [1-9][0-9]* $' <<<"$(tr '\n' ' ' <<<"$reply")"
  ctl QUIT >/dev/null || true
  echo "  -- Debian 11: $((SECONDS - start)) s"
}

emptyroot_check() {
  echo "== empty root: the .rpm's files only"
  local root=$work/empty
  mkdir -p "$root"
  (cd "$root" && rpm2cpio "$rpm" | cpio -idm --quiet)
  mkdir -p "$root/dev" "$root/tmp" "$root/etc"
  chmod 1777 "$root/tmp"
  mknod -m 0666 "$root/dev/null" c 1 3
  mknod -m 0444 "$root/dev/urandom" c 1 9
  printf 'root:x:0:0:root:/:/nonexistent\ntev:x:990:990::/var/lib/tev:/sbin/nologin\n' >"$root/etc/passwd"
  printf 'root:x:0:\ntev:x:990:\n' >"$root/etc/group"
  # A name of this root alone, at an address where the agent listens.
  printf '127.0.0.1 localhost\n127.0.0.77 tev-peer.example\n' >"$root/etc/hosts"
  echo "  files: $(cd "$root" && find . -type f | wc -l), none outside the package but /etc/{passwd,group,hosts}"
  mount_proc "$root"
  mkdir -p "$root/run/tev" "$root/etc/tev"
  local password port
  password=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
  sed "s/^password=.*/password=$password/" "$root/usr/share/tev/tev.cfg.template" >"$root/etc/tev/tev.cfg"
  chown -R 990:990 "$root/etc/tev" "$root/var/log/tev" "$root/var/lib/tev" "$root/run/tev"
  chmod 0600 "$root/etc/tev/tev.cfg"
  port=$(free_port)
  prepare_config "$root" "$port"
  start_agent "$root"
  local pid=$agent_pid
  check "agent $pid runs" test -n "$pid"
  ctl() { chroot "$root" /usr/bin/tevctl -p "$port" -W /tmp/tev-password "$@"; }
  local reply
  reply=$(ctl -d GetInfo || true)
  echo "  GetInfo: $(head -n 3 <<<"$reply" | tr '\n' ' ')"
  check "GetInfo 200" test "$(head -n 1 <<<"$reply")" = 200
  reply=$(ctl TEST-TCP tev-peer.example "$port" 3000 "" 0 || true)
  echo "  TEST-TCP tev-peer.example $port: $(tr '\n' ' ' <<<"$reply")"
  check "TEST-TCP to a name of the root's /etc/hosts 200" test "$(head -n 1 <<<"$reply")" = 200
  reply=$(ctl TEST-TCP tev-absent.example "$port" 3000 "" 0 || true)
  check "TEST-TCP to a name the root does not know fails ($(head -n 1 <<<"$reply"))" \
    test "$(head -n 1 <<<"$reply")" != 200
  reply=$(ctl TEST-Process "" tev || true)
  echo "  TEST-Process tev: $(tr '\n' ' ' <<<"$reply")"
  check "process count finds the agent" grep -qE '^200 [1-9][0-9]* $' <<<"$(tr '\n' ' ' <<<"$reply")"
  reply=$(ctl -d GetProcessesList || true)
  check "process list names the agent ($(grep " /usr/sbin/tev " <<<"$reply" | head -n 1))" \
    grep -qE "^$pid [^ ]+ .* /usr/sbin/tev " <<<"$reply"
  check "QUIT 200" test "$(ctl QUIT | head -n 1)" = 200
}

case "${1:-all}" in
  unit) unit_check ;;
  debian11) debian11_check ;;
  emptyroot) emptyroot_check ;;
  all) unit_check; debian11_check; emptyroot_check ;;
  *) echo "installed-test.sh [unit|debian11|emptyroot]" >&2; exit 2 ;;
esac

echo
if [ "$fails" -eq 0 ]; then
  echo "installed-test: all checks passed"
else
  echo "installed-test: $fails check(s) failed"
  exit 1
fi
