#include "platform/tempfile.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/filepath.h"
#include "platform/filesearch.h"

namespace {

// Highest suffix tried for a generated name.
const int kMaxSuffix = 1998;
// Candidates are built in a buffer of this size.
const int kCandidateSize = 1024;

const char* TempDir() {
    const char* dir = getenv("TMPDIR");
    if (dir == nullptr) dir = getenv("TMP");
    return dir;
}

// Bounded append of src to the zero-terminated dst of capacity len.
void Append(char* dst, int len, const char* src) {
    const size_t used = strlen(dst);
    if (used + 1 >= size_t(len)) return;
    const size_t room = size_t(len) - 1 - used;
    const size_t n = strnlen(src, room);
    memcpy(dst + used, src, n);
    dst[used + n] = '\0';
}

int Fail(char* dst) {
    dst[0] = '\0';
    return 0;
}

}  // namespace

int GetUniqueThreadID() {
    const uint32_t pid = uint32_t(getpid());
    const uint32_t self = uint32_t(uintptr_t(pthread_self()));
    return int((pid << 8) + self);
}

int gettempfilename(char* dst, int len, const char* name, const char* dir) {
    if (dst == nullptr || len < 16) return 0;
    dst[0] = '\0';
    if (dir == nullptr || dir[0] == '\0') dir = TempDir();
    Append(dst, len, dir != nullptr ? dir : ".");
    Append(dst, len, "/");
    if (int(strlen(dst)) + 15 > len) return Fail(dst);
    if (name != nullptr) {
        Append(dst, len, name);
        return 1;
    }
    char prefix[64];
    snprintf(prefix, sizeof prefix, "tmp-%ld-", long(GetUniqueThreadID()));
    for (int suffix = 0; suffix <= kMaxSuffix; ++suffix) {
        char candidate[kCandidateSize];
        const int n = snprintf(candidate, sizeof candidate, "%s%s%d", dst, prefix, suffix);
        if (n < 0 || n >= kCandidateSize) return Fail(dst);
        if (FileExists(String(candidate, n))) continue;
        if (n >= len) return Fail(dst);
        memcpy(dst, candidate, size_t(n) + 1);
        return 1;
    }
    return Fail(dst);
}

String GetFirstMatchedFile(const String& path) {
    const String dir = ExtractFilePath(path);
    TSearchRec rec;
    // Read-only, hidden and special entries; never directories.
    const int kFilesOnly = 47;  // faAnyFile without faDirectory
    if (FindFirst(dir, ExtractFileName(path), kFilesOnly, rec) != 0) {
        FindClose(rec);
        return String();
    }
    String result = dir + rec.Name;
    FindClose(rec);
    return result;
}
