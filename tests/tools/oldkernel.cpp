// oldkernel: runs a program as on the oldest kernel tev supports, Linux 3.10
// (Red Hat Enterprise Linux 7), by system calls: a seccomp filter, kept by
// every descendant, answers ENOSYS to each x86-64 system call the kernel did
// not have yet (all numbered above finit_module, 313) and to every x32 call
// (the kernels of that age were built without x32). A system call of 3.10
// with a flag that came later cannot be refused by its number; the one the
// agent gives, CLONE_PIDFD (5.2) on clone, is refused with EINVAL, so the
// program goes on without a pid descriptor as it does on 3.10, which takes
// the bit for the long-ignored CLONE_DETACHED and makes none.
//
// Usage: oldkernel [--instead OLD NEW]... PROGRAM [ARG...]
// Execs PROGRAM (searched on PATH) under the filter; when PROGRAM is OLD it
// execs NEW instead, with the same arguments (so that the tests run, say,
// the static agent where they name the one of their own build). Exit code
// 125 when the filter cannot be installed or the exec fails.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <vector>

#ifndef __x86_64__
#error "oldkernel knows the x86-64 system call numbers only"
#endif

namespace {

// The last x86-64 system call of Linux 3.10.
const unsigned kLastSyscall310 = 313;  // finit_module
const unsigned kCloneSyscall = 56;
// CLONE_PIDFD, spelled out: older headers lack it.
const unsigned kClonePidfd = 0x1000;
const unsigned kX32Bit = 0x40000000;

bool InstallFilter() {
    const unsigned kArgFlagsLow = offsetof(struct seccomp_data, args[0]);  // little endian
    struct sock_filter code[] = {
        // Another architecture (a 32-bit call through int 0x80): allowed,
        // nothing here uses them.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        // x32 numbers carry kX32Bit and so compare above the last call too.
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kLastSyscall310, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kCloneSyscall, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArgFlagsLow),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kClonePidfd, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    static_assert(kX32Bit > kLastSyscall310, "x32 calls fall above the last call");
    struct sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        perror("oldkernel: PR_SET_NO_NEW_PRIVS");
        return false;
    }
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        perror("oldkernel: PR_SET_SECCOMP");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> olds, news;
    int i = 1;
    while (i + 2 < argc && strcmp(argv[i], "--instead") == 0) {
        olds.push_back(argv[i + 1]);
        news.push_back(argv[i + 2]);
        i += 3;
    }
    if (i >= argc) {
        fprintf(stderr, "usage: oldkernel [--instead OLD NEW]... PROGRAM [ARG...]\n");
        return 125;
    }
    for (size_t k = 0; k < olds.size(); k++)
        if (strcmp(argv[i], olds[k]) == 0) argv[i] = const_cast<char*>(news[k]);
    if (!InstallFilter()) return 125;
    execvp(argv[i], argv + i);
    fprintf(stderr, "oldkernel: %s: %s\n", argv[i], strerror(errno));
    return 125;
}
