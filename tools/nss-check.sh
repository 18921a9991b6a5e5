#!/usr/bin/env bash
# Proves that the static programs (a build with -DTEV_STATIC=ON) never load a
# name-service library of the host. In a root of their own whose
# /etc/nsswitch.conf names a module "mark" for every database, with a
# libnss_mark.so.2 planted where the C library looks for it (its constructor
# leaves /nss-mark), the agent serves name lookups (the client reaches it by
# a name from that root's /etc/hosts, TEST-TCP connects to that name, tev
# --test resolves it too) and the process count and list (user names), and
# tevproc lists the processes; afterwards there must be no mark. A small static program that looks up a
# user and a host with the C library's defaults then proves that the planted
# module is found and leaves its mark, so that the first half means
# something.
# Usage: tools/nss-check.sh BUILD_DIR   (root: chroot and mount; x86-64)
set -euo pipefail
build=$(cd "${1:?usage: nss-check.sh BUILD_DIR (built with -DTEV_STATIC=ON)}" && pwd)
[ "$(id -u)" = 0 ] || { echo "nss-check: needs root (chroot, mount)" >&2; exit 1; }
[ "$(uname -m)" = x86_64 ] || { echo "nss-check: the planted module is x86-64 code" >&2; exit 1; }
for p in tev tevctl libexec/tev/tevproc; do
  file -L "$build/$p" | grep -Eq 'static(-pie)? linked|statically linked' ||
    { echo "nss-check: $build/$p is not a static program" >&2; exit 1; }
done
# Everything below runs in a mount namespace of its own: /proc mounted in
# the root goes away with it, whatever ends the run.
if [ -z "${TEV_NSS_CHECK_INNER:-}" ]; then
  exec env TEV_NSS_CHECK_INNER=1 unshare --mount --propagation private bash "$0" "$@"
fi

root=$(mktemp -d)
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then
    kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  umount "$root/dev/null" || true
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

mkdir -p "$root"/{usr/sbin,usr/bin,usr/libexec/tev,etc/tev,var/log/tev,var/lib/tev,run,proc,dev,tmp}
cp "$build/tev" "$root/usr/sbin/"
cp "$build/tevctl" "$root/usr/bin/"
cp "$build/libexec/tev/tevproc" "$root/usr/libexec/tev/"
for tool in proccnt cpuusage proclist; do ln -s tevproc "$root/usr/libexec/tev/$tool"; done

# The module: no C library of its own (raw system calls), so that nothing
# but its loading can stop the constructor.
cat >"$root/tmp/mark.c" <<'EOF'
static long Sys4(long n, long a, long b, long c, long d) {
    long r;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall" : "=a"(r) : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return r;
}
__attribute__((constructor)) static void Mark(void) {
    long fd = Sys4(257 /* openat */, -100 /* AT_FDCWD */, (long)"/nss-mark", 0101 /* O_WRONLY|O_CREAT */, 0644);
    if (fd >= 0) Sys4(3 /* close */, fd, 0, 0, 0);
}
EOF
gcc -shared -fPIC -nostdlib -O2 -o "$root/tmp/libnss_mark.so.2" "$root/tmp/mark.c"
for dir in lib/x86_64-linux-gnu usr/lib/x86_64-linux-gnu lib64 usr/lib64 lib usr/lib; do
  mkdir -p "$root/$dir"
  cp "$root/tmp/libnss_mark.so.2" "$root/$dir/"
done
for db in passwd group shadow initgroups hosts networks services protocols rpc ethers netgroup; do
  echo "$db: files mark"
done >"$root/etc/nsswitch.conf"
name=agent.nsscheck.test
printf '127.0.0.1 localhost\n127.0.0.2 %s\n' "$name" >"$root/etc/hosts"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\n' >"$root/etc/group"

mount -t proc proc "$root/proc"
touch "$root/dev/null"
mount --bind /dev/null "$root/dev/null"
password=nss-check-$$
in_root() { chroot "$root" "$@"; }
ask() { in_root /usr/bin/tevctl -H "$name" -p "$port" -w "$password" -t 20000 "$@"; }

# The agent, on a free port of 127.0.0.2 (another port when it is taken).
for attempt in 1 2 3 4 5 6 7 8; do
  port=$((20000 + RANDOM % 40000))
  sed -e "s|^host=.*|host=127.0.0.2|" -e "s|^port=.*|port=$port|" \
    -e "s|^password=.*|password=$password|" -e "s|^tevpath=.*|tevpath=/usr/sbin/tev|" \
    -e "s|^pidfile=.*|pidfile=/run/tev.pid|" -e "s|^tmpdir=.*|tmpdir=/var/lib/tev|" \
    -e "s|^oklogfile=.*|oklogfile=/var/log/tev/success.log|" \
    -e "s|^badlogfile=.*|badlogfile=/var/log/tev/failure.log|" \
    -e "s|^verboselogfile=.*|verboselogfile=/var/log/tev/verbose.log|" \
    -e "s|^process=.*|process=1|" -e "s|^tcp=.*|tcp=1|" \
    "$(dirname "$0")/../etc/tev.cfg" >"$root/etc/tev/tev.cfg"
  chroot "$root" /usr/sbin/tev -i /etc/tev/tev.cfg >"$root/tmp/agent.out" 2>&1 &
  agent_pid=$!
  until ask GetInfo >/dev/null 2>&1; do
    kill -0 "$agent_pid" 2>/dev/null || break
  done
  if kill -0 "$agent_pid" 2>/dev/null; then break; fi
  wait "$agent_pid" || true
  agent_pid=""
done
[ -n "$agent_pid" ] || { cat "$root/tmp/agent.out"; echo "nss-check: the agent does not start" >&2; exit 1; }

check() {  # description, expected pattern, command...
  local what=$1 pattern=$2 out; shift 2
  out=$("$@" 2>&1) || true
  if ! grep -Eq "$pattern" <<<"$out"; then
    echo "nss-check: $what: expected /$pattern/, got:" >&2
    echo "$out" >&2
    exit 1
  fi
  echo "ok: $what"
}
check "GetInfo by name" '^200' ask GetInfo
check "TEST-TCP to a name of /etc/hosts" '^200' ask TEST-TCP "$name" "$port" 5000 hello 0
check "tev --test TEST-TCP" '^200' in_root /usr/sbin/tev --test /etc/tev/tev.cfg TEST-TCP "$name" "$port" 5000 hello 0
check "process count" '^200' ask TEST-Process 0 tev
check "process list with user names" '(^| )root ' ask -d GetProcessesList
check "tevproc's process list" '(^| )root ' in_root /usr/libexec/tev/proclist
if [ -e "$root/nss-mark" ]; then
  echo "nss-check: a static program loaded the planted name-service module" >&2
  exit 1
fi
echo "ok: no name-service module loaded"

# The control: the C library's defaults do load the planted module here.
cat >"$root/tmp/probe.c" <<'EOF'
#include <netdb.h>
#include <pwd.h>
int main(void) {
    (void)getpwnam("no-such-user");
    (void)gethostbyname("no-such-host.nsscheck.test");
    return 0;
}
EOF
gcc -static -O2 -o "$root/tmp/probe" "$root/tmp/probe.c" 2>/dev/null
in_root /tmp/probe || true
[ -e "$root/nss-mark" ] || { echo "nss-check: control: the planted module was not loaded" >&2; exit 1; }
echo "ok: control: a static program with the default name services loads it"
