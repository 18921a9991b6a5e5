#include "platform/privilege.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/syserror.h"

#ifndef PR_SET_KEEPCAPS
#define PR_SET_KEEPCAPS 8
#endif
#ifndef PR_CAPBSET_DROP
#define PR_CAPBSET_DROP 24
#endif
#ifndef PR_CAP_AMBIENT
#define PR_CAP_AMBIENT 47
#define PR_CAP_AMBIENT_RAISE 2
#define PR_CAP_AMBIENT_CLEAR_ALL 4
#endif

namespace {

const unsigned long long kReadAllBit = 1ULL << kReadAllCapability;

long Prctl(long option, long arg2, long arg3) {
    return syscall(SYS_prctl, option, arg2, arg3, 0L, 0L);
}

bool SetCapSets(const TCapSets& sets) {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2];
    data[0].effective = __u32(sets.Effective);
    data[1].effective = __u32(sets.Effective >> 32);
    data[0].permitted = __u32(sets.Permitted);
    data[1].permitted = __u32(sets.Permitted >> 32);
    data[0].inheritable = __u32(sets.Inheritable);
    data[1].inheritable = __u32(sets.Inheritable >> 32);
    return syscall(SYS_capset, &header, data) == 0;
}

// Empties the ambient set; kernels before 4.3 have none (EINVAL), which is
// as empty as it gets.
void ClearAmbient() {
    Prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0);
}

// Inheritable empty again (the kernel then empties ambient as well); the
// effective and permitted sets as they are.
void DropInheritable() {
    TCapSets sets;
    if (!GetCapSets(sets)) return;
    sets.Inheritable = 0;
    SetCapSets(sets);
    ClearAmbient();
}

// The whole of a small file (at most 16 MiB); false when it cannot be read.
bool ReadSmallFile(const char* path, std::string& text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text.clear();
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || text.size() > (16u << 20)) {
            close(fd);
            return n == 0;
        }
        text.append(buf, size_t(n));
    }
}

// Splits a colon-separated line into at most max fields; the number found.
int SplitFields(const std::string& line, std::string* fields, int max) {
    int n = 0;
    size_t start = 0;
    while (n < max) {
        const size_t colon = line.find(':', start);
        fields[n++] = line.substr(start, colon == std::string::npos ? colon : colon - start);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return n;
}

// A decimal id of at most 10 digits into id; false for anything else.
bool ParseId(const std::string& text, unsigned long& id) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    id = std::strtoul(text.c_str(), nullptr, 10);
    return id < 0xFFFFFFFFUL;  // -1 means "unchanged" to the kernel
}

// Calls found(fields, count) for each line of text that is no comment.
template <typename F>
void ForEachEntry(const std::string& text, F found) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == '+' || line[0] == '-') continue;
        std::string fields[7];
        found(fields, SplitFields(line, fields, 7));
    }
}

void AddGroup(TUserIds& ids, gid_t gid) {
    for (int i = 0; i < ids.GroupCount; i++)
        if (ids.Groups[i] == gid) return;
    const int room = int(sizeof ids.Groups / sizeof ids.Groups[0]);
    if (ids.GroupCount < room) ids.Groups[ids.GroupCount++] = gid;
}

// True when the comma-separated member list names user.
bool IsMember(const std::string& members, const std::string& user) {
    size_t start = 0;
    for (;;) {
        const size_t comma = members.find(',', start);
        if (members.substr(start, comma == members.npos ? comma : comma - start) == user)
            return true;
        if (comma == members.npos) return false;
        start = comma + 1;
    }
}

}  // namespace

bool GetCapSets(TCapSets& sets) {
    sets = TCapSets();
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2];
    std::memset(data, 0, sizeof data);
    if (syscall(SYS_capget, &header, data) != 0) return false;
    sets.Effective = data[0].effective | (static_cast<unsigned long long>(data[1].effective) << 32);
    sets.Permitted = data[0].permitted | (static_cast<unsigned long long>(data[1].permitted) << 32);
    sets.Inheritable =
        data[0].inheritable | (static_cast<unsigned long long>(data[1].inheritable) << 32);
    return true;
}

bool RunsAsRoot() {
    return getuid() == 0 || geteuid() == 0;
}

bool HasReadAllCapability() {
    TCapSets sets;
    return GetCapSets(sets) && (sets.Permitted & kReadAllBit) != 0;
}

int KeepOnlyReadAll() {
    if (RunsAsRoot()) return HasReadAllCapability() ? 1 : 0;
    TCapSets sets;
    if (!GetCapSets(sets)) return 0;
    const unsigned long long kept = sets.Permitted & kReadAllBit;
    TCapSets only;
    only.Effective = kept;
    only.Permitted = kept;
    // Dropping from permitted and effective and emptying inheritable is
    // always allowed.
    SetCapSets(only);
    ClearAmbient();
    return HasReadAllCapability() ? 1 : 0;
}

int ExecKeepingReadAll(const char* path, char* const* argv, char* const* envp) {
    TCapSets sets;
    const bool keep = !RunsAsRoot() && GetCapSets(sets) && (sets.Permitted & kReadAllBit) != 0;
    if (keep) {
        // Ambient needs the capability permitted and inheritable; without
        // ambient (kernels before 4.3) the new image starts without it.
        sets.Inheritable = kReadAllBit;
        if (SetCapSets(sets)) Prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, kReadAllCapability);
    }
    syscall(SYS_execve, path, argv, envp);
    const int err = errno;
    if (keep) DropInheritable();  // the agent goes on: its children get nothing
    errno = err;
    return -1;
}

int LookUpUser(const char* name, TUserIds& ids, String& error, const char* passwd,
               const char* group) {
    ids = TUserIds();
    error = String();
    std::string text;
    if (!ReadSmallFile(passwd, text)) {
        error = String("cannot read ") + String(passwd) + ": " + GetErrorStr(errno);
        return 0;
    }
    const std::string wanted = name ? name : "";
    unsigned long wantedId = 0;
    const bool byId = ParseId(wanted, wantedId);
    std::string user;
    ForEachEntry(text, [&](const std::string* f, int n) {
        unsigned long uid = 0, gid = 0;
        if (!user.empty() || n < 4 || !ParseId(f[2], uid) || !ParseId(f[3], gid)) return;
        if (f[0] != wanted && !(byId && uid == wantedId)) return;
        user = f[0];
        ids.Uid = uid_t(uid);
        ids.Gid = gid_t(gid);
    });
    if (user.empty() || wanted.empty()) {
        error = "unknown user";
        return 0;
    }
    AddGroup(ids, ids.Gid);
    // The groups file is optional: a user may have no group but its own.
    if (ReadSmallFile(group, text)) {
        ForEachEntry(text, [&](const std::string* f, int n) {
            unsigned long gid = 0;
            if (n >= 4 && ParseId(f[2], gid) && IsMember(f[3], user)) AddGroup(ids, gid_t(gid));
        });
    }
    return 1;
}

int BecomeUser(const TUserIds& ids, String& error) {
    error = String();
    if (geteuid() != 0) {
        error = "not running as root";
        return 0;
    }
    if (ids.Uid == 0) {
        error = "the user is root";
        return 0;
    }
    // Every capability but ours leaves the bounding set while we may still
    // drop them (CAP_SETPCAP); the loop ends past the kernel's last one.
    for (int cap = 0; cap < 64; cap++) {
        if (cap == kReadAllCapability) continue;
        if (Prctl(PR_CAPBSET_DROP, cap, 0) != 0) {
            if (errno == EINVAL) break;
            error = String("cannot drop capabilities from the bounding set: ") + GetErrorStr(errno);
            return 0;
        }
    }
    if (Prctl(PR_SET_KEEPCAPS, 1, 0) != 0) {
        error = String("cannot keep capabilities: ") + GetErrorStr(errno);
        return 0;
    }
    // The C library's calls change every thread of the process.
    if (setgroups(size_t(ids.GroupCount), ids.Groups) != 0 ||
        setresgid(ids.Gid, ids.Gid, ids.Gid) != 0) {
        error = String("cannot change the groups: ") + GetErrorStr(errno);
        return 0;
    }
    if (setresuid(ids.Uid, ids.Uid, ids.Uid) != 0) {
        error = String("cannot change the user: ") + GetErrorStr(errno);
        return 0;
    }
    Prctl(PR_SET_KEEPCAPS, 0, 0);
    TCapSets only;
    only.Effective = kReadAllBit;
    only.Permitted = kReadAllBit;
    if (!SetCapSets(only)) {
        error = String("cannot keep CAP_DAC_READ_SEARCH: ") + GetErrorStr(errno);
        return 0;
    }
    ClearAmbient();
    TCapSets now;
    if (RunsAsRoot() || !GetCapSets(now) || now.Permitted != kReadAllBit ||
        now.Effective != kReadAllBit || now.Inheritable != 0) {
        error = "the change of user did not take effect";
        return 0;
    }
    return 1;
}

int UnprivilegedPortStart() {
    std::string text;
    if (!ReadSmallFile("/proc/sys/net/ipv4/ip_unprivileged_port_start", text)) return 1024;
    unsigned long port = 0;
    const size_t end = text.find_first_not_of("0123456789");
    if (!ParseId(text.substr(0, end), port)) return 1024;
    return int(port);
}
