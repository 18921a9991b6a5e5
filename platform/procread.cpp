#include "platform/procread.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The bytes AppendProcFile asks for in one read: a command line of a few
// hundred bytes takes one call, a long one a few.
const size_t kAppendStep = 4096;

int OpenAt(int Dir, const char* Name) {
    int fd;
    do {
        fd = openat(Dir, Name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Closes fd without disturbing errno.
void CloseKeepErrno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

// Appends the file to Out in steps of kAppendStep; with ShortReadEnds, a
// read that returns less than asked is taken as the end.
ssize_t AppendFile(int Dir, const char* Name, bool ShortReadEnds, std::string& Out) {
    const int fd = OpenAt(Dir, Name);
    if (fd < 0) return -1;
    const size_t start = Out.size();
    size_t len = 0;
    for (;;) {
        Out.resize(start + len + kAppendStep);
        const ssize_t n = read(fd, &Out[start + len], kAppendStep);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Out.resize(start);
            CloseKeepErrno(fd);
            return -1;
        }
        len += size_t(n);
        if (n == 0 || (ShortReadEnds && size_t(n) < kAppendStep)) break;
    }
    Out.resize(start + len);
    close(fd);
    return ssize_t(len);
}

}  // namespace

ssize_t ReadProcFile(int Dir, const char* Name, char* Buf, size_t Cap) {
    const int fd = OpenAt(Dir, Name);
    if (fd < 0) return -1;
    size_t len = 0;
    while (len < Cap) {
        const ssize_t n = read(fd, Buf + len, Cap - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            CloseKeepErrno(fd);
            return -1;
        }
        const size_t asked = Cap - len;
        len += size_t(n);
        // A short read is the end (see the header): saves a call per file.
        if (size_t(n) < asked) break;
    }
    close(fd);
    return ssize_t(len);
}

ssize_t AppendProcFile(int Dir, const char* Name, std::string& Out) {
    return AppendFile(Dir, Name, true, Out);
}

ssize_t AppendWholeFile(const char* Path, std::string& Out) {
    return AppendFile(AT_FDCWD, Path, false, Out);
}

int OpenProcDir(const char* Path) {
    int fd;
    do {
        fd = open(Path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool ParseProcNumber(std::string_view text, unsigned long long& out) {
    if (text.empty() || text.size() > 19) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    out = v;
    return true;
}
