#include "platform/randombytes.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

int ReadUrandom(unsigned char* buf, size_t len) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    size_t got = 0;
    int err = 0;
    while (got < len) {
        const ssize_t n = read(fd, buf + got, len - got);
        if (n > 0) {
            got += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            err = n < 0 ? errno : EIO;
            break;
        }
    }
    close(fd);
    return err;
}

}  // namespace

int RandomBytes(void* buf, size_t len, unsigned Flags) {
    unsigned char* out = static_cast<unsigned char*>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = getrandom(out + got, len - got, Flags);
        if (n > 0) {
            got += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ENOSYS) return ReadUrandom(out + got, len - got);
        return n < 0 ? errno : EIO;
    }
    return 0;
}
