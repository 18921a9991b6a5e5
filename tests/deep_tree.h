// A chain of folders thousands of levels deep ("d/d/d/..."), one file "f"
// of one byte at every level, made and removed without a descriptor per
// level and without paths longer than PATH_MAX.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace deep_tree {

// Makes the chain under root (which must exist). Returns false on failure.
inline bool Make(const std::string& root, int levels) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && i <= levels; i++) {
        const int f = openat(fd, "f", O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (f < 0 || write(f, "x", 1) != 1) {
            if (f >= 0) close(f);
            close(fd);
            return false;
        }
        close(f);
        if (i == levels) break;
        if (mkdirat(fd, "d", 0755) != 0) {
            close(fd);
            return false;
        }
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Removes the chain below root (root itself and its file stay): each level
// is lifted up to root before its parent is removed, so no path grows.
inline void Remove(const std::string& root) {
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    std::string cur = "d";
    for (int i = 0;; i++) {
        struct stat st;
        if (fstatat(fd, cur.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
        unlinkat(fd, (cur + "/f").c_str(), 0);
        const std::string lifted = "lift" + std::to_string(i);
        const bool more = renameat(fd, (cur + "/d").c_str(), fd, lifted.c_str()) == 0;
        unlinkat(fd, cur.c_str(), AT_REMOVEDIR);
        if (!more) break;
        cur = lifted;
    }
    close(fd);
}

}  // namespace deep_tree
