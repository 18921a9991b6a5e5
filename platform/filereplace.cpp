#include "platform/filereplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/filepath.h"
#include "platform/writeall.h"

namespace {

// Gives fd the owner and group of `from` when they differ from its own. Only
// a privileged agent (or one in the group) can; where it cannot the file
// stays the agent's, as any file it creates.
void TakeOwnership(int fd, const TFileOwnership& from) {
    struct stat st;
    if (fstat(fd, &st) != 0 || (st.st_uid == from.uid && st.st_gid == from.gid)) return;
    if (fchown(fd, from.uid, from.gid) != 0 && st.st_gid != from.gid) {
        const int ignored = fchown(fd, uid_t(-1), from.gid);
        (void)ignored;
    }
}

// Keeps the current file as backup: a hard link when the file system allows
// one, a copy of previous otherwise.
void KeepBackup(const TFileReplacement& r) {
    const String from = ZeroTerminated(r.target);
    const String to = ZeroTerminated(r.backup);
    unlink(to.Data());
    if (link(from.Data(), to.Data()) != 0) WriteNewFile(r.backup, r.previous, r.own);
}

// Flushes the directory entry changes of path's directory to disk.
void SyncDirectoryOf(const String& path) {
    String dir = ExtractFilePath(path);
    if (dir.Length() == 0) dir = ".";
    dir.SetZero();
    const int fd = open(dir.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool ReadOwnership(int fd, TFileOwnership& own) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    own = {st.st_uid, st.st_gid, mode_t(st.st_mode & 07777)};
    return true;
}

String ReplacementTarget(const String& path) {
    const String p = ZeroTerminated(path);
    struct stat st;
    if (lstat(p.Data(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(p.Data(), nullptr);
    if (!real) return path;
    String target(real);
    std::free(real);
    return target;
}

bool WriteNewFile(const String& path, const String& data, const TFileOwnership& own) {
    const String p = ZeroTerminated(path);
    unlink(p.Data());
    const int fd = open(p.Data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    TakeOwnership(fd, own);
    bool ok = WriteAll(fd, data) && fchmod(fd, own.mode) == 0 && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok) unlink(p.Data());
    return ok;
}

TReplaceResult ReplaceFile(const TFileReplacement& r, const String& content) {
    if (!WriteNewFile(r.temp, content, r.own)) return rrNoTemp;
    if (r.backup.Length()) KeepBackup(r);
    const String from = ZeroTerminated(r.temp);
    const String to = ZeroTerminated(r.target);
    if (std::rename(from.Data(), to.Data()) != 0) {
        unlink(from.Data());
        return rrNoRename;
    }
    SyncDirectoryOf(r.target);
    return rrDone;
}
