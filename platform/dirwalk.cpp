#include "platform/dirwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kBlockSize = 64 * 1024;
// Levels whose descriptors are always held: the common shallow tree then
// opens every folder relative to its parent.
const int kHoldDepth = 16;
// Deeper down a level is held when the path from the nearest held level
// grows beyond either bound, which keeps each open's path walk short.
const size_t kRelBytes = 1024;
const int kRelLevels = 128;

struct Frame {
    int fd;                      // held descriptor, or -1
    int anchor;                  // index of the frame whose fd reaches this one
    std::string rel;             // path from the anchor's folder ("" when held)
    int levels;                  // levels below the anchor
    std::vector<TWalkSub> subs;  // still to visit
    size_t next;
};

int OpenDirAt(int at, const char* name) {
    return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
}

}  // namespace

unsigned char EntryTypeAt(int Fd, const char* Name) {
    struct stat st;
    if (fstatat(Fd, Name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
    return (unsigned char)IFTODT(st.st_mode);
}

TTreeWalk::TTreeWalk() : block(static_cast<char*>(malloc(kBlockSize))) {}

TTreeWalk::~TTreeWalk() {
    free(block);
}

int TTreeWalk::ReadEntries(int Fd, const EntryFn& Fn) {
    if (!block) return -1;
    for (;;) {
        const ssize_t n = getdents64(Fd, block, kBlockSize);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        for (ssize_t at = 0; at < n;) {
            const dirent64* d = reinterpret_cast<const dirent64*>(block + at);
            Fn(d->d_name, d->d_type);
            at += d->d_reclen;
        }
    }
}

int TTreeWalk::Walk(const char* Root, int RootTag, const Visitor& Visit) {
    if (!block) return ENOMEM;
    const int rootFd = open(Root, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (rootFd < 0) return errno > 0 ? errno : EIO;
    std::vector<TWalkSub> subs;
    Visit(rootFd, 0, RootTag, subs);
    WalkBelow(rootFd, std::move(subs), Visit);
    close(rootFd);
    return 0;
}

void TTreeWalk::WalkBelow(int Fd, std::vector<TWalkSub> Subs, const Visitor& Visit) {
    // The first frame is the caller's folder: its descriptor is used, not
    // owned, and counts against the bound like any held one.
    std::vector<Frame> frames;
    frames.push_back(Frame{Fd, 0, std::string(), 0, std::move(Subs), 0});
    int held = 1;
    while (!frames.empty()) {
        Frame& top = frames.back();
        if (top.next == top.subs.size()) {
            if (top.fd >= 0 && frames.size() > 1) close(top.fd);
            if (top.fd >= 0) held--;
            frames.pop_back();
            continue;
        }
        const TWalkSub sub = std::move(top.subs[top.next++]);
        const int anchor = top.fd >= 0 ? int(frames.size()) - 1 : top.anchor;
        const std::string rel = top.fd >= 0 ? sub.Name : top.rel + "/" + sub.Name;
        const int levels = top.fd >= 0 ? 1 : top.levels + 1;
        if (rel.size() >= PATH_MAX) continue;  // out of reach: as if unreadable
        const int fd = OpenDirAt(frames[size_t(anchor)].fd, rel.c_str());
        if (fd < 0) continue;
        const int depth = int(frames.size());
        std::vector<TWalkSub> subs;
        Visit(fd, depth, sub.Tag, subs);
        if (subs.empty()) {
            close(fd);
            continue;
        }
        const bool hold = held < kMaxHeldDirs &&
                          (depth < kHoldDepth || rel.size() > kRelBytes || levels >= kRelLevels);
        if (hold) {
            held++;
            frames.push_back(Frame{fd, 0, std::string(), 0, std::move(subs), 0});
        } else {
            close(fd);
            frames.push_back(Frame{-1, anchor, rel, levels, std::move(subs), 0});
        }
    }
}
