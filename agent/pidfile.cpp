#include "agent/pidfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "agent/console.h"
#include "config/settings.h"

namespace {

// The file created, kept so that closing deletes that file even when a
// reload has named another one since.
char createdPath[4096];

// True when the file open at fd is empty or holds a process number (what
// a pid file of ours, or of another daemon, holds): only such a file is
// overwritten, and deleted at the end. Any other file named as the pid
// file, a configuration file by a slip of the pen, stays as it is.
bool HoldsAPidOrNothing(int fd) {
    char text[64];
    const ssize_t n = pread(fd, text, sizeof text, 0);
    if (n < 0 || n == ssize_t(sizeof text)) return false;
    for (ssize_t i = 0; i < n; i++) {
        const char c = text[i];
        if ((c < '0' || c > '9') && c != '\n' && c != ' ' && c != '\t' && c != '\r') return false;
    }
    return true;
}

}  // namespace

const char* PidFilePath() {
    return createdPath;
}

int createpidfile() {
    String path = Settings()->pidfile;
    path.SetZero();
    // Not truncated on open: the file may belong to a running daemon whose
    // lock we are about to find taken. A symbolic link planted at the path is
    // not followed, and anything but a regular file (a device, a fifo) is
    // refused, or a root agent would write its pid wherever they point.
    const int fd = open(path.Data(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        showmessage("Failed to create pid file %s\n", NoPeer(), mtFailure, 1, path.Data());
        return -1;
    }
    if (fd < 0) {
        showmessage("Failed to create pid file %s\n", NoPeer(), mtFailure, 1, path.Data());
        return -1;
    }
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        showmessage("Failed to lock pid file %s\n", NoPeer(), mtFailure, 1, path.Data());
        close(fd);
        return -1;
    }
    if (!HoldsAPidOrNothing(fd)) {
        showmessage("Failed to create pid file %s\n", NoPeer(), mtFailure, 1, path.Data());
        showmessage("The file holds something other than a process number and is left as it is\n",
                    NoPeer(), mtFailure, 0);
        close(fd);
        return -1;
    }
    path.StrCpy(createdPath, int(sizeof createdPath));
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%d\n", int(getpid()));
    if (ftruncate(fd, 0) != 0 || write(fd, text, size_t(n)) != n)
        showmessage("Failed to create pid file %s\n", NoPeer(), mtFailure, 1, path.Data());
    return fd;
}

void closepidfile(int fd) {
    if (fd < 0) return;
    // Deleted while the lock is still held, so the file of an agent that
    // starts now (and finds the lock free only after this) is never deleted;
    // and only when the name still stands for our file.
    struct stat mine, named;
    if (createdPath[0] && fstat(fd, &mine) == 0 && lstat(createdPath, &named) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
        unlink(createdPath);
    createdPath[0] = 0;
    close(fd);
}
