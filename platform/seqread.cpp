#include "platform/seqread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

bool TSeqFile::Open(const String& Name) {
    Close();
    if (Name.Length() == 0) return false;
    const String path = ZeroTerminated(Name);
    // O_NONBLOCK: opening a FIFO must not hold the session until a writer
    // appears; it has no effect on regular files.
    fd = open(path.Data(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    // Devices, FIFOs and sockets have no end to read to; a directory goes
    // on to fail at its first read, as it always did.
    if (fstat(fd, &st) != 0 || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) ||
        S_ISSOCK(st.st_mode)) {
        Close();
        return false;
    }
    limit = st.st_size == 0 ? kPseudoFileLimit : -1;
    consumed = 0;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

void TSeqFile::Close() {
    if (fd >= 0) close(fd);
    fd = -1;
    limit = -1;
    consumed = 0;
}

size_t TSeqFile::Allowed(size_t n, long long at) const {
    if (limit < 0) return n;
    if (at >= limit) return 0;
    return (long long)n > limit - at ? size_t(limit - at) : n;
}

long long TSeqFile::Size() const {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    return (long long)st.st_size;
}

namespace {

// Calls readSome(offset, room) until n bytes are in, the end is met or an
// error other than EINTR occurs: the bytes read, or -1.
template <typename ReadSome>
long long ReadLoop(char* buf, size_t n, ReadSome readSome) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = readSome(buf + got, n - got, got);
        if (r > 0) {
            got += size_t(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return (long long)got;
}

}  // namespace

long long TSeqFile::ReadFull(char* buf, size_t n) {
    if (fd < 0) return -1;
    const int f = fd;
    const long long got = ReadLoop(buf, Allowed(n, consumed),
                                   [f](char* p, size_t room, size_t) { return read(f, p, room); });
    if (got > 0) consumed += got;
    return got;
}

long long TSeqFile::ReadFullAt(char* buf, size_t n, long long at) const {
    if (fd < 0) return -1;
    const int f = fd;
    return ReadLoop(buf, Allowed(n, at), [f, at](char* p, size_t room, size_t got) {
        return pread(f, p, room, off_t(at) + off_t(got));
    });
}

bool TSeqFile::Identity(unsigned long long& dev, unsigned long long& ino) const {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return false;
    dev = (unsigned long long)st.st_dev;
    ino = (unsigned long long)st.st_ino;
    return true;
}

TScanBuffer::TScanBuffer(size_t n) : data(static_cast<char*>(malloc(n > 0 ? n : 1))) {}

TScanBuffer::~TScanBuffer() {
    free(data);
}

bool TScanBuffer::Resize(size_t n) {
    if (data == nullptr) return false;
    char* p = static_cast<char*>(realloc(data, n > 0 ? n : 1));
    if (p == nullptr) return false;
    data = p;
    return true;
}
