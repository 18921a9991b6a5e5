#include "platform/tempcreate.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/randombytes.h"
#include "platform/runningjobs.h"
#include "platform/tempfile.h"

namespace {

// Names tried after the first one was taken.
const int kRandomAttempts = 8;
const int kPathSize = 512;
// The fixed parts of the agent's own names: "tmptev-<pid>-<16 hex>.tmp".
const char kOwnPrefix[] = "tmptev-";
const char kOwnSuffix[] = ".tmp";
const int kRandomDigits = 16;

// A name of the agent's own form: the creating process and a part nobody
// can guess ahead, random bytes or (without a random source) the thread and
// a counter, which O_EXCL still keeps safe.
void OwnName(char* buf, size_t size) {
    static std::atomic<unsigned> counter{0};
    unsigned long long r = 0;
    if (RandomBytes(&r, sizeof r, GRND_NONBLOCK) != 0)
        r = ((unsigned long long)unsigned(GetUniqueThreadID()) << 32) | counter++;
    snprintf(buf, size, "%s%ld-%016llx%s", kOwnPrefix, long(getpid()), r, kOwnSuffix);
}

// The creating pid of a name of the agent's own form; 0 for any other name.
long OwnNamePid(const char* name) {
    const size_t prefix = sizeof kOwnPrefix - 1;
    if (strncmp(name, kOwnPrefix, prefix) != 0) return 0;
    const char* p = name + prefix;
    if (*p < '1' || *p > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const long pid = strtol(p, &end, 10);
    if (errno != 0 || pid <= 0 || *end != '-') return 0;
    p = end + 1;
    for (int i = 0; i < kRandomDigits; i++, p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
    return strcmp(p, kOwnSuffix) == 0 ? pid : 0;
}

// Creates path exclusively and enters it in the register of running work.
// Returns the descriptor, or -1 with errno set (ECANCELED: the agent is
// ending, nothing is created any more).
int CreateEntered(const char* path) {
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int fd = open(path, flags, 0600);
    if (fd < 0) return -1;
    if (AddTempFile(String(path))) return fd;
    close(fd);
    unlink(path);
    errno = ECANCELED;
    return -1;
}

}  // namespace

int CreateTempFile(const char* Name, String& Path, const char* Dir) {
    Path = "";
    // Held from before the creation until the file is entered, so that an
    // end of the running work waits for it and removes it too.
    const TJobSlot slot;
    if (!slot.Open()) {
        errno = ECANCELED;
        return kTempNotCreated;
    }
    char name[64];
    if (Name == nullptr) {
        OwnName(name, sizeof name);
        Name = name;
    }
    char path[kPathSize];
    if (!gettempfilename(path, sizeof path, Name, Dir)) return kTempNoName;
    for (int attempt = 0;; attempt++) {
        const int fd = CreateEntered(path);
        if (fd >= 0) {
            Path = path;
            return fd;
        }
        if (errno != EEXIST || attempt >= kRandomAttempts) return kTempNotCreated;
        OwnName(name, sizeof name);
        if (!gettempfilename(path, sizeof path, name, Dir)) return kTempNoName;
    }
}

int RemoveStaleTempFiles(const char* Dir) {
    char probe[kPathSize];
    if (!gettempfilename(probe, sizeof probe, "x", Dir)) return -1;
    // The directory without its "/": a trailing slash would have a link
    // in its place followed.
    size_t end = strlen(probe) - 1;
    while (end > 1 && probe[end - 1] == '/') end--;
    probe[end] = '\0';
    const int dirFd = open(probe, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return -1;
    DIR* d = fdopendir(dirFd);
    if (d == nullptr) {
        close(dirFd);
        return -1;
    }
    const long self = long(getpid());
    const uid_t owner = geteuid();
    int removed = 0;
    while (const dirent* e = readdir(d)) {
        const long pid = OwnNamePid(e->d_name);
        if (pid == 0) continue;
        // Another process's file while that process lives may be another
        // agent's in the same folder: only this process's own (left by the
        // image before a restart) and those of ended processes are stale.
        if (pid != self && !(kill(pid_t(pid), 0) != 0 && errno == ESRCH)) continue;
        struct stat st;
        if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != owner) continue;
        if (unlinkat(dirFd, e->d_name, 0) == 0) removed++;
    }
    closedir(d);
    return removed;
}
