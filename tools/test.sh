#!/usr/bin/env bash
# Builds everything with warnings as errors and runs all tests; then makes
# the packages (tools/package.sh) and checks them installed
# (tools/installed-test.sh: the unit's exposure, a Debian 11 root, an empty
# root); then runs the tests again under address + undefined-behaviour
# sanitizers, again under
# the thread sanitizer (every test but the few in tsan_skips below: the
# end-to-end tests all run, each agent they start built with it), and every
# fuzz target (tests/fuzz/*_fuzz.cpp) for a bounded time on a copy of its
# seed corpus (tests/fuzz/corpus/<name without _fuzz>). Any finding fails
# the run.
# Between the sanitizers and the fuzzing it runs the whole suite again for
# two other hosts under qemu-user: arm64 (cross-built) and the baseline
# x86-64 without SSE3/SSE4/AVX (see "arch" below).
# After the first build it builds the shipped, static programs
# (-DTEV_STATIC=ON, build-static/), shows that they are static, proves that
# they load no name-service module of the host (tools/nss-check.sh), and
# runs the suite as on Linux 3.10 (see "kernel310" below).
# TEV_FUZZ_SECONDS sets the time per fuzz target (default 30); "test.sh fuzz"
# runs only the fuzzing.
#
# "test.sh kernel310" runs only the Linux 3.10 runs: the tests of build-test/
# with each test program, and the agent and client they start, under
# build-test/oldkernel (tests/tools/oldkernel.cpp), a seccomp filter that
# answers ENOSYS to every system call that kernel did not have; once with
# the programs of build-test/, once (the end-to-end tests only) with the
# static agent and client of build-static/ in their place.
#
# "test.sh arch aarch64|s390x|x86-64-v1" runs only the suite of one such
# host: aarch64 and s390x (big-endian) are cross-built with the Debian cross
# compilers (GoogleTest built from /usr/src/googletest for the target) in
# build-<arch>/, and every target program, the agent and client that the
# end-to-end tests start included, runs under qemu-user through binfmt_misc.
# x86-64-v1 runs the tests of this machine's own build (build-test/, made
# for the baseline x86-64 as the compiler does by default) under qemu-x86_64
# with an SSE2-only processor, from build-x86-64-v1/; the programs the tests
# start go through the same emulator by TEV_TEST_WRAPPER (a command the test
# harness puts in front of the agent and the client).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = arch ]; then bash tools/deps.sh "${2:-}"; else bash tools/deps.sh; fi
jobs=$(nproc)

build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DTEV_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# End-to-end tests that cannot work under qemu-user for a reason of the
# emulator, with the reason; each arch run leaves them out by name.
spawn_reason="qemu-user runs a child started with CLONE_VM|CLONE_VFORK as a plain fork, so the \
error of an exec that fails in the child (ENOENT, EACCES, ENOEXEC, ETXTBSY), written to memory \
the parent would share, never reaches the parent, which sees exit code 127 instead"
declare -A emulator_skips=(
  [ActionsE2E.ExternalCommandRunsInItsWorkingDirectory]=$spawn_reason
  [ChildStartE2E.NoDynamicBindingInAChildBeforeExec]=$spawn_reason
  [ProcessTest.ExitCodesAndStartFailures]=$spawn_reason
  [ProcessTest.PathSearchPassesOverFilesItCannotRun]=$spawn_reason
  [ProcessTest.ScriptWithoutInterpreterLineRunsThroughShell]=$spawn_reason
  [ProcessTest.ConcurrentRunsOfFreshlyWrittenScripts]=$spawn_reason
  [ScriptTestsE2E.SettingsScriptProblems]=$spawn_reason
  [ScriptTestsE2E.ExternalPrograms]=$spawn_reason
  [ScriptTestsE2E.ShellScripts]=$spawn_reason
  ["Programs/UpgradeRollbackE2E.IsKilledWithAllItStartedAndTheOldProgramServesAgain/LeavesADetachedChildAndExits"]="qemu-user \
refuses PR_SET_CHILD_SUBREAPER (EINVAL), so the detached child goes to init, out of the update script's reach (the \
agent logs that it cannot follow such processes)"
  [ClockStepE2E.LimitsHoldWhenTheWallClockSteps]="qemu-user passes no TCP_INFO on, so the agent \
cannot tell a connection the kernel's deferral held back from one taken before its first bytes, and \
its silent-connection case closes early there (302 ms against at least 700, seen once)"
  [RobustE2E.ARequestThatRunsOutOfMemoryEndsAndTheAgentServesOn]="RLIMIT_AS limits the \
emulator's own address space, whose layout for the emulated program is not the program's, so the \
agent's allocations do not fail where the test expects"
  [SettingsConcurrent.ReloadsWhileChildrenRunLeaveTheEnvironmentAlone]="qemu-user's fork of a \
multi-threaded program can leave the child waiting for a lock of the emulator that another thread \
(here the reloader, busy without pause) held at the fork; the child is then killed at its 10 s limit"
  [TevProc.ListAnswersAsTheScript]="the test compares the lifetime CPU share of processes a few \
milliseconds old as read by the emulated tool and by the native script; the emulator's slow start \
puts the two readings far enough apart for those young shares to differ"
  [FrontDoorFilesE2E.DaemonClearsInheritedSignalMaskAndKeepsStandardDescriptors]="the agent's \
/proc/<pid>/status shows the signal mask of qemu itself, which blocks host signals for its own \
use, not the emulated program's mask"
)

# Tests the thread-sanitizer run leaves out by name, with the reason: each
# runs on one thread only, so the sanitizer has nothing to check there and
# only multiplies the time of its many random cases (the other runs keep
# them).
single_thread_reason="one thread only: a comparison with a reference over many random cases, \
which the thread sanitizer makes slow without anything to check"
declare -A tsan_skips=(
  [TextLogScan.AgreesWithNaiveReference]=$single_thread_reason
  [ScanFiles.FindStrInFileAgreesWithReferenceOnRandomFiles]=$single_thread_reason
)

# The same for the x86-64-v1 run only, where the emulator is put in front of
# the agent by the test harness (TEV_TEST_WRAPPER) rather than by the kernel.
declare -A wrapper_skips=(
  [RunStateE2E.ReloadAppReExecutesTheSameProcess]="the agent re-executes its own program file \
without the emulator in front, so its command line loses the emulator's words"
)

# Registers qemu-<cpu> with the kernel's binfmt_misc so that target programs
# started by the tests (and by the agent) run emulated. Needs root the first
# time; a registration that exists is kept.
register_binfmt() {  # qemu cpu name: aarch64 | s390x
  local bm=/proc/sys/fs/binfmt_misc spec=/usr/share/binfmts/qemu-$1
  [ -e "$bm/register" ] || mount -t binfmt_misc binfmt_misc "$bm"
  [ -e "$bm/qemu-$1" ] || update-binfmts --enable "qemu-$1" >/dev/null 2>&1 || true
  if [ ! -e "$bm/qemu-$1" ]; then
    # binfmt-support may count it as enabled from an earlier boot and do
    # nothing: register it with the kernel directly, from the same entry.
    local field magic mask interpreter
    field() { sed -n "s/^$1 //p" "$spec"; }
    magic=$(field magic) mask=$(field mask) interpreter=$(field interpreter)
    printf ':qemu-%s:M:0:%s:%s:%s:PF\n' "$1" "$magic" "$mask" "$interpreter" >"$bm/register"
  fi
  grep -qx enabled "$bm/qemu-$1" || { echo "binfmt_misc: qemu-$1 is not enabled" >&2; exit 1; }
}

# Builds GoogleTest from the Debian sources for a cross toolchain into
# <dir>/gtest (once) and prints the directory of its CMake package.
cross_gtest() {  # build dir, toolchain file
  local dir=$1 toolchain=$2
  if [ ! -f "$dir/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$dir/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
      -DCMAKE_INSTALL_PREFIX="$PWD/$dir/gtest" >/dev/null
    cmake --build "$dir/gtest-build" -j"$jobs" >/dev/null
    cmake --install "$dir/gtest-build" >/dev/null
  fi
  echo "$PWD/$dir/gtest/lib/cmake/GTest"
}

# Builds and runs the whole suite for one other host (see the top). A
# subshell, so that the emulator's environment stays within the run.
arch_run() (  # aarch64 | s390x | x86-64-v1
  local arch=$1 dir=build-$1 start=$SECONDS exclude=""
  local toolchain="$PWD/cmake/toolchain-$arch.cmake"
  echo "== $arch suite under qemu-user"
  case $arch in
    x86-64-v1)
      # The build of the first step (made here when run alone); a test file
      # of our own runs each of its tests with the emulator in front.
      build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=ON
      export TEV_TEST_WRAPPER="qemu-x86_64-static -cpu qemu64,-sse3,-cx16,-lahf-lm"
      mkdir -p "$dir"
      cat >"$dir/CTestTestfile.cmake" <<EOF
# Made by tools/test.sh: the tests of build-test/, each under the emulator.
function(add_test name program)
  _add_test("\${name}" $TEV_TEST_WRAPPER "\${program}" \${ARGN})
endfunction()
include("$PWD/build-test/CTestTestfile.cmake")
EOF
      ;;
    aarch64 | s390x)
      register_binfmt "$arch"
      export QEMU_LD_PREFIX=/usr/$arch-linux-gnu
      # Optimised as the package is, but without debug information: these
      # runs need only the verdicts, and it saves much of the build time.
      build "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DTEV_BENCH=OFF \
        -DGTest_DIR="$(cross_gtest "$dir" "$toolchain")"
      ;;
    *)
      echo "test.sh arch: aarch64, s390x or x86-64-v1" >&2
      exit 2
      ;;
  esac
  local -A skips=()
  for name in "${!emulator_skips[@]}"; do skips[$name]=${emulator_skips[$name]}; done
  if [ "$arch" = x86-64-v1 ]; then
    for name in "${!wrapper_skips[@]}"; do skips[$name]=${wrapper_skips[$name]}; done
  fi
  local names=""
  for name in "${!skips[@]}"; do
    echo "skipped under emulation: $name (${skips[$name]})"
    names+="${names:+|}${name}"
  done
  # One group for all the names: CMake's regular expressions take at most
  # nine groups, and one more makes the whole expression match nothing. A
  # parameterised test's name may go on after a space.
  [ -z "$names" ] || exclude="^(${names})( |\$)"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" ${exclude:+-E "$exclude"})
  echo "-- $arch suite: $((SECONDS - start)) s"
)

# Builds the shipped programs (static) into build-static/ and checks them.
static_build() {
  cmake -S . -B build-static -DTEV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_STATIC=ON \
    -DTEV_BENCH=OFF >/dev/null
  cmake --build build-static -j"$jobs" --target tev tevctl tevproc
  (cd build-static && file tev tevctl libexec/tev/tevproc)
}

# Runs the tests of build-test/ as on Linux 3.10 (see the top); build-test/
# and, for "static", build-static/ are made first when missing.
kernel310_run() (  # dynamic | static
  local kind=$1 dir=build-3.10-$1 start=$SECONDS filter=""
  local filter_program="$PWD/build-test/oldkernel"
  local wrapper=$filter_program
  echo "== Linux 3.10 system calls ($kind programs)"
  [ -x "$filter_program" ] || build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=ON
  if [ "$kind" = static ]; then
    [ -x build-static/tev ] || static_build
    wrapper+=" --instead $PWD/build-test/tev $PWD/build-static/tev"
    wrapper+=" --instead $PWD/build-test/tevctl $PWD/build-static/tevctl"
    filter="E2E|Tevctl"
  fi
  export TEV_TEST_WRAPPER=$wrapper
  mkdir -p "$dir"
  cat >"$dir/CTestTestfile.cmake" <<EOF
# Made by tools/test.sh: the tests of build-test/, each under the filter.
function(add_test name program)
  _add_test("\${name}" $filter_program "\${program}" \${ARGN})
endfunction()
include("$PWD/build-test/CTestTestfile.cmake")
EOF
  (cd "$dir" && ctest --output-on-failure -j"$jobs" ${filter:+-R "$filter"})
  echo "-- Linux 3.10 ($kind) suite: $((SECONDS - start)) s"
)

if [ "${1:-}" = kernel310 ]; then
  kernel310_run dynamic
  kernel310_run static
  exit 0
fi

if [ "${1:-}" = arch ]; then
  arch_run "${2:-}"
  exit 0
fi

if [ "${1:-}" != fuzz ]; then
echo "== build and test"
build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=ON
(cd build-test && ctest --output-on-failure -j"$jobs")

echo "== layers and the agent/ graph of ARCHITECTURE.md"
bash tools/check-layers.sh build-test

echo "== static programs"
static_build
(cd build-static && ldd tev tevctl libexec/tev/tevproc 2>&1 || true)
bash tools/nss-check.sh build-static
kernel310_run dynamic
kernel310_run static

echo "== packages: tools/package.sh, then installed on other roots"
# The static .deb, .rpm and tarball for x86-64 and arm64, the repository
# folders, lintian and rpmlint; then the unit's exposure, a Debian 11 root
# (dpkg and apt-get from out/apt) and an empty root (tools/installed-test.sh).
bash tools/package.sh
bash tools/installed-test.sh

echo "== address + undefined-behaviour sanitizers"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTEV_SANITIZE=address,undefined -DTEV_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j"$jobs")

echo "== thread sanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_SANITIZE=thread -DTEV_BENCH=OFF
tsan_exclude=""
for name in "${!tsan_skips[@]}"; do
  echo "skipped under the thread sanitizer: $name (${tsan_skips[$name]})"
  tsan_exclude+="${tsan_exclude:+|}^${name}\$"
done
# Reports go to files, so that one from an agent a test started as a
# daemon (its standard error on /dev/null) fails the run as well.
tsan_logs=$(mktemp -d)
tsan_status=0
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 log_path=$tsan_logs/report" \
  ctest --output-on-failure -j"$jobs" -E "$tsan_exclude") || tsan_status=$?
if compgen -G "$tsan_logs/report.*" >/dev/null; then
  cat "$tsan_logs"/report.*
  tsan_status=1
fi
rm -rf "$tsan_logs"
[ "$tsan_status" = 0 ] || exit "$tsan_status"

arch_run aarch64
arch_run x86-64-v1
fi

echo "== fuzzing (clang; address + undefined-behaviour sanitizers)"
fuzz_seconds=${TEV_FUZZ_SECONDS:-30}
targets=()
for src in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake -S . -B build-fuzz -DTEV_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DTEV_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
fuzz_work=$(mktemp -d)
trap 'rm -rf "$fuzz_work"' EXIT
for target in "${targets[@]}"; do
  corpus="$fuzz_work/${target%_fuzz}"
  mkdir -p "$corpus"
  seeds="tests/fuzz/corpus/${target%_fuzz}"
  if [ -d "$seeds" ]; then cp -R "$seeds/." "$corpus/"; fi
  echo "-- $target: ${fuzz_seconds} s"
  # TMPDIR: what a target leaves behind when it crashes goes with fuzz_work.
  if ! TMPDIR="$fuzz_work" "build-fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$fuzz_work/$target-" "$corpus" >"$fuzz_work/$target.log" 2>&1; then
    tail -n 60 "$fuzz_work/$target.log"
    echo "fuzz target $target failed; the input that did it:"
    ls "$fuzz_work/$target-"* 2>/dev/null || true
    exit 1
  fi
  grep -E '^Done|#[0-9]+.*DONE' "$fuzz_work/$target.log" | tail -n 1 || true
done
