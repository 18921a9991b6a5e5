#include "platform/owntool.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "core/threadsafety.h"

namespace {

// The mark with every byte one higher, so that the agent's own file does
// not hold it and is never taken for the tool. tools/tevproc.cpp holds the
// plain text; a test keeps the two the same.
template <size_t N>
constexpr std::array<char, N - 1> Coded(const char (&text)[N]) {
    std::array<char, N - 1> out{};
    for (size_t i = 0; i + 1 < N; i++) out[i] = char(text[i] + 1);
    return out;
}
constexpr auto kCodedMark = Coded("tevproc-tools/1 proccnt cpuusage");

// Files larger than this are not examined: tevproc is about 1 MiB.
const off_t kMaxToolSize = 64 << 20;

// What identifies a file's content without reading it.
struct TFileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{}, ctime{};

    explicit TFileId(const struct stat& st)
        : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim), ctime(st.st_ctim) {}
    TFileId() = default;
    bool operator==(const TFileId& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// The last file examined and its verdict. One entry is enough: the agent
// asks about one setting, which changes rarely.
TMutex own_tool_mutex;
bool haveVerdict TEV_GUARDED_BY(own_tool_mutex) = false;
TFileId verdictFile TEV_GUARDED_BY(own_tool_mutex);
bool verdict TEV_GUARDED_BY(own_tool_mutex) = false;

// True when the open file fd holds mark; reads it in pieces that overlap by
// the mark's length less one, so a mark across two pieces is found.
bool FileHolds(int fd, const std::string& mark) {
    char buf[16384];
    size_t have = 0;
    for (;;) {
        const ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        have += size_t(n);
        if (memmem(buf, have, mark.data(), mark.size()) != nullptr) return true;
        const size_t keep = have < mark.size() ? have : mark.size() - 1;
        memmove(buf, buf + have - keep, keep);
        have = keep;
    }
}

// Examines Path afresh; sets id to the identity of what was read. False
// when it cannot be opened or is not a regular file of a sensible size.
bool Examine(const char* Path, TFileId& id) {
    int fd;
    do {
        fd = open(Path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st;
    bool holds = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxToolSize) {
        id = TFileId(st);
        holds = FileHolds(fd, OwnToolMark());
    }
    close(fd);
    return holds;
}

}  // namespace

std::string OwnToolMark() {
    std::string mark(kCodedMark.begin(), kCodedMark.end());
    for (char& c : mark) c = char(c - 1);
    return mark;
}

bool IsOwnProcTool(const char* Path) {
    struct stat st;
    if (stat(Path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (faccessat(AT_FDCWD, Path, X_OK, AT_EACCESS) != 0) return false;
    const TFileId now(st);
    {
        TLock lock(own_tool_mutex);
        if (haveVerdict && verdictFile == now) return verdict;
    }
    TFileId examined;
    const bool holds = Examine(Path, examined);
    // Kept only when the file read is the one stat saw: a file replaced in
    // between is examined again on the next call.
    TLock lock(own_tool_mutex);
    if (examined == now) {
        haveVerdict = true;
        verdictFile = now;
        verdict = holds;
    }
    return holds && examined == now;
}
