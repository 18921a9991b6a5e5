#include "handlers/folderwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/dirwalk.h"
#include "platform/filepath.h"

const char* const CountFilesModeName[6] = {"AllFiles",   "OlderThan",   "NewerThan",
                                           "BiggerThan", "SmallerThan", "SubFolders"};

int sec2min(int t) {
    return t / 60;
}

int now_min() {
    return int(time(nullptr) / 60);
}

namespace {

bool IsDotOrDotDot(const char* Name) {
    return Name[0] == '.' && (Name[1] == 0 || (Name[1] == '.' && Name[2] == 0));
}

// A mask of "*" matches every name (no flags: a leading dot too), so the
// match can be skipped.
struct TMask {
    explicit TMask(const String& Mask) : text(ZeroTerminated(Mask)) {
        all = Mask.Length() == 1 && Mask[1] == '*';
    }
    bool Matches(const char* Name) const { return all || fnmatch(text.Data(), Name, 0) == 0; }
    String text;
    bool all;
};

// The folder a search of Path reads: Path itself, or "." for an empty one.
String FolderOf(const String& Path) {
    return Path.Length() == 0 ? String(".") : ZeroTerminated(Path);
}

// Folder-size walk. Tag 0: entries are matched with the mask; tag 1: with
// "*". A sub-folder's own search takes "sub/mask" as its folder when that
// is a directory and then sums it whole (an empty mask names the sub-folder
// itself); a link there is not followed.
struct TSizeWalk {
    TSizeWalk(const String& Mask, bool Recursive) : mask(Mask), star("*"), recursive(Recursive) {}

    void Visit(int Fd, int Depth, int Tag, std::vector<TWalkSub>& Subs) {
        const TMask& m = Tag != 0 ? star : mask;
        const char* literal = m.text.Data();
        const bool checkLiteral = Depth > 0 && Tag == 0;
        bool literalDir = false;
        long long sum = 0;
        walk.ReadEntries(Fd, [&](const char* name, unsigned char type) {
            if (IsDotOrDotDot(name)) return;
            if (type == DT_UNKNOWN) type = EntryTypeAt(Fd, name);
            if (type == DT_LNK || type == DT_UNKNOWN) return;
            if (type == DT_DIR) {
                if (checkLiteral && strcmp(name, literal) == 0) literalDir = true;
                if (recursive) Subs.push_back(TWalkSub{name, mask.text.Data()[0] ? Tag : 1});
                return;
            }
            if (!m.Matches(name)) return;
            struct stat st;
            if (fstatat(Fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
            if (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode)) return;
            sum += (long long)st.st_size;
        });
        if (literalDir) {
            Subs.clear();
            Subs.push_back(TWalkSub{literal, 1});
            return;
        }
        total += sum;
    }

    TTreeWalk walk;
    TMask mask, star;
    bool recursive;
    long long total = 0;
};

// File-count walk: every folder is counted and judged on one read.
struct TCountWalk {
    TCountWalk(const String& Mask, bool Recursive, int Mode, int Limit)
        : mask(Mask), recursive(Recursive), mode(Mode), limit(Limit), nowMin(now_min()) {}

    // Whether a file entry meets the mode's condition.
    bool FileCounts(int Fd, const char* Name) const {
        if (mode == cfmAllFiles) return true;
        struct stat st;
        const bool ok = fstatat(Fd, Name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        const int age = ok ? int(st.st_mtime) : -1;
        const long long size = ok ? (long long)st.st_size : -1;
        switch (mode) {
            case cfmOlderThan:
                return (long long)nowMin - limit > sec2min(age);
            case cfmNewerThan:
                return sec2min(age) > (long long)nowMin - limit;
            case cfmBiggerThan:
                return size > (long long)limit;
            case cfmSmallerThan:
                return size < (long long)limit;
            default:
                return false;
        }
    }

    // A directory the recursion enters: not hidden, writable for the agent.
    static bool Admitted(int Fd, const char* Name) {
        return Name[0] != '.' && faccessat(Fd, Name, W_OK, 0) == 0;
    }

    // True when some directory of the folder passes the recursion's filter,
    // "." and ".." included.
    bool AnyAdmitted(int Fd) {
        if (faccessat(Fd, ".", W_OK, 0) == 0 || faccessat(Fd, "..", W_OK, 0) == 0) return true;
        if (lseek(Fd, 0, SEEK_SET) < 0) return false;
        bool found = false;
        walk.ReadEntries(Fd, [&](const char* name, unsigned char type) {
            if (found || IsDotOrDotDot(name)) return;
            if (type == DT_UNKNOWN) type = EntryTypeAt(Fd, name);
            if (type == DT_DIR && Admitted(Fd, name)) found = true;
        });
        return found;
    }

    void Visit(int Fd, int Depth, std::vector<TWalkSub>& Subs) {
        int count = 0;
        bool anyMatch = false;
        bool anyAdmitted = false;
        walk.ReadEntries(Fd, [&](const char* name, unsigned char type) {
            if (type == DT_UNKNOWN) type = EntryTypeAt(Fd, name);
            if (type == DT_LNK || type == DT_UNKNOWN) return;
            const bool dots = IsDotOrDotDot(name);
            if (mask.Matches(name)) {
                anyMatch = true;
                if (type == DT_DIR) {
                    if (mode == cfmSubFolders && !dots) count++;
                } else if (mode != cfmSubFolders && FileCounts(Fd, name)) {
                    count++;
                }
            }
            if (recursive && type == DT_DIR && !dots && Admitted(Fd, name)) {
                anyAdmitted = true;
                Subs.push_back(TWalkSub{name, 0});
            }
        });
        if (recursive) {
            if (!anyAdmitted && !AnyAdmitted(Fd)) {
                Subs.clear();
                if (Depth == 0) failed = true;
                return;
            }
            total += count;
            return;
        }
        if (anyMatch)
            total = count;
        else if (!AnyAdmitted(Fd))
            failed = true;
    }

    TTreeWalk walk;
    TMask mask;
    bool recursive;
    int mode, limit, nowMin;
    long long total = 0;
    bool failed = false;
};

}  // namespace

namespace {

// One share of the sub-folders of the starting folder, walked on a helper
// thread.
struct TSizeShare {
    TSizeWalk* walk;
    int fd;
    std::vector<TWalkSub> subs;
};

void WalkSizeShare(TSizeWalk& Walk, int Fd, std::vector<TWalkSub> Subs) {
    Walk.walk.WalkBelow(Fd, std::move(Subs),
                        [&](int fd, int depth, int tag, std::vector<TWalkSub>& subs) {
                            Walk.Visit(fd, depth, tag, subs);
                        });
}

void* RunSizeShare(void* Arg) {
    TSizeShare* share = static_cast<TSizeShare*>(Arg);
    WalkSizeShare(*share->walk, share->fd, std::move(share->subs));
    return nullptr;
}

}  // namespace

long long GetFolderSize(const String& Path, bool Recursive) {
    String folder = Path;
    String mask = "*";
    if (!DirectoryExists(Path)) {
        mask = ExtractFileName(Path);
        folder = ExtractFilePath(Path);
    }
    const String root = FolderOf(folder);
    const int fd = open(root.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    TSizeWalk mine(mask, Recursive);
    std::vector<TWalkSub> subs;
    mine.Visit(fd, 0, 0, subs);
    // Examining every file costs one system call each, so the sub-folders
    // are shared between this thread and a helper: every other one each.
    TSizeWalk other(mask, Recursive);
    TSizeShare share{&other, fd, {}};
    std::vector<TWalkSub> kept;
    for (size_t i = 0; i < subs.size(); i++)
        (i % 2 ? share.subs : kept).push_back(std::move(subs[i]));
    pthread_t helper;
    const bool split =
        share.subs.size() > 0 && pthread_create(&helper, nullptr, RunSizeShare, &share) == 0;
    if (!split)
        for (TWalkSub& sub : share.subs) kept.push_back(std::move(sub));
    WalkSizeShare(mine, fd, std::move(kept));
    if (split) pthread_join(helper, nullptr);
    close(fd);
    return mine.total + other.total;
}

int CountFiles(const String& Folder, const String& Mask, bool Recursive, int Mode, int Limit) {
    TCountWalk w(Mask, Recursive, Mode, Limit);
    const String root = FolderOf(Folder);
    const int r = w.walk.Walk(
        root.Data(), 0,
        [&](int fd, int depth, int, std::vector<TWalkSub>& subs) { w.Visit(fd, depth, subs); });
    if (r != 0 || w.failed) return -1;
    return int(w.total);
}
