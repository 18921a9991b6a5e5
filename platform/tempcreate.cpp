#include "platform/tempcreate.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/randombytes.h"
#include "platform/tempfile.h"

namespace {

// Names tried after the first one was taken.
const int kRandomAttempts = 8;
const int kPathSize = 512;

// A name part nobody can guess ahead: random bytes, or (without a random
// source) the thread and a counter, which O_EXCL still keeps safe.
void RandomName(char* buf, size_t size) {
    static std::atomic<unsigned> counter{0};
    unsigned long long r = 0;
    if (RandomBytes(&r, sizeof r, GRND_NONBLOCK) != 0)
        r = ((unsigned long long)unsigned(GetUniqueThreadID()) << 32) | counter++;
    snprintf(buf, size, "tmptev-%016llx.tmp", r);
}

}  // namespace

int CreateTempFile(const char* Name, String& Path, const char* Dir) {
    Path = "";
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    char path[kPathSize];
    if (!gettempfilename(path, sizeof path, Name, Dir)) return kTempNoName;
    for (int attempt = 0;; attempt++) {
        const int fd = open(path, flags, 0600);
        if (fd >= 0) {
            Path = path;
            return fd;
        }
        if (errno != EEXIST || attempt >= kRandomAttempts) return kTempNotCreated;
        char name[64];
        RandomName(name, sizeof name);
        if (!gettempfilename(path, sizeof path, name, Dir)) return kTempNoName;
    }
}
