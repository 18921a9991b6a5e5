#include "platform/filesearch.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/filepath.h"

namespace {

// Opens Dir (zero-terminated) as a close-on-exec directory stream.
// Returns the stream, or null with errno set.
DIR* OpenDirStream(const char* Dir) {
    const int fd = open(Dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* d = fdopendir(fd);
    if (!d) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return d;
}

bool IsDotOrDotDot(const char* Name) {
    return Name[0] == '.' && (Name[1] == 0 || (Name[1] == '.' && Name[2] == 0));
}

// Attribute bits of the entry Name whose lstat result is st; FullName is the
// zero-terminated path used for the follow-link and write-access checks.
int EntryAttributes(const char* Name, const char* FullName, const struct stat& st) {
    int attr = 0;
    if (S_ISDIR(st.st_mode)) {
        attr = faDirectory;
    } else {
        if (!S_ISREG(st.st_mode)) attr |= faSysFile;
        if (S_ISLNK(st.st_mode)) {
            attr |= faSymLink;
            struct stat target;
            if (stat(FullName, &target) == 0 && S_ISDIR(target.st_mode)) attr |= faDirectory;
        }
    }
    if (Name[0] == '.' && !IsDotOrDotDot(Name)) attr |= faHidden;
    if (access(FullName, W_OK) != 0) attr |= faReadOnly;
    return attr;
}

}  // namespace

int FindFirst(const String& Path, const String& Pattern, int Attr, TSearchRec& Rec) {
    Rec.DirHandle = nullptr;
    Rec.ExcludeAttr = ~(Attr & faAnyFile);
    Rec.Path = Path;
    Rec.Pattern = Pattern;
    if (Rec.Path.Length() == 0) {
        Rec.Path = GetCurrentDir();
        // An unreadable working directory (deleted, or a path longer than the
        // buffer) must not turn the search into one of "/".
        if (Rec.Path.Length() == 0) Rec.Path = ".";
    }
    Rec.Path = IncludeTrailingPathDelimiter(Rec.Path);
    Rec.Path.SetZero();
    Rec.DirHandle = OpenDirStream(Rec.Path.Data());
    if (!Rec.DirHandle) return errno > 0 ? errno : EIO;
    const int r = FindMatchingFile(Rec);
    if (r != 0) FindClose(Rec);
    return r;
}

int FindNext(TSearchRec& Rec) {
    return FindMatchingFile(Rec);
}

void FindClose(TSearchRec& Rec) {
    if (Rec.DirHandle) closedir(Rec.DirHandle);
    Rec.DirHandle = nullptr;
}

int FindMatchingFile(TSearchRec& Rec) {
    if (!Rec.DirHandle) return -1;
    Rec.Pattern.SetZero();
    // The stream belongs to this record alone, so readdir's per-stream
    // buffer is not shared with any other thread.
    while (const dirent* ent = readdir(Rec.DirHandle)) {
        if (fnmatch(Rec.Pattern.Data(), ent->d_name, 0) != 0) continue;
        String full = Rec.Path + ent->d_name;
        full.SetZero();
        struct stat st;
        if (lstat(full.Data(), &st) != 0) continue;
        const int attr = EntryAttributes(ent->d_name, full.Data(), st);
        if ((attr & Rec.ExcludeAttr) != 0) continue;
        Rec.Size = (long long)st.st_size;
        Rec.Attr = attr;
        Rec.Mode = (unsigned int)st.st_mode;
        const size_t n = strnlen(ent->d_name, sizeof Rec.Name - 1);
        std::memcpy(Rec.Name, ent->d_name, n);
        Rec.Name[n] = 0;
        Rec.Time = int(st.st_mtime);
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Path macros

namespace {

enum MacroKind { mkNewestFile = 0, mkOldestFile = 1, mkNewestFolder = 2, mkOldestFolder = 3 };

const char* const kMacroText[] = {"%newestfile%", "%oldestfile%", "%newestfolder%",
                                  "%oldestfolder%"};

// Finds the leftmost macro in the lower-cased text. Returns its 1-based
// position (0: none) and sets Kind and Length.
int FindFirstMacro(const String& Lower, int& Kind, int& Length) {
    int best = 0;
    for (int k = 0; k < 4; k++) {
        const int p = Lower.Pos(kMacroText[k]);
        if (p != 0 && (best == 0 || p < best)) {
            best = p;
            Kind = k;
        }
    }
    Length = (Kind == mkNewestFolder || Kind == mkOldestFolder) ? 14 : 12;
    return best;
}

// True when an entry with time Time should replace the best so far (time
// BestTime) for the given kind. Newer/older is strict, so ties keep the
// entry met first.
bool IsBetter(int Kind, int Time, int BestTime) {
    const bool newest = Kind == mkNewestFile || Kind == mkNewestFolder;
    return newest ? Time > BestTime : Time < BestTime;
}

// Name of the newest/oldest file or folder in Dir (empty: working
// directory), or empty when there is no candidate.
String PickEntry(const String& Dir, int Kind) {
    const bool wantDir = Kind == mkNewestFolder || Kind == mkOldestFolder;
    String best;
    bool found = false;  // a flag, not a zero time: a file dated 0 is valid
    int bestTime = 0;
    TSearchRec rec;
    int r = FindFirst(Dir, "*", faAnyFile, rec);
    while (r == 0) {
        const bool isDir = (rec.Attr & faDirectory) != 0;
        if (!IsDotOrDotDot(rec.Name) && isDir == wantDir &&
            (!found || IsBetter(Kind, rec.Time, bestTime))) {
            best = rec.Name;
            bestTime = rec.Time;
            found = true;
        }
        r = FindNext(rec);
    }
    FindClose(rec);
    return best;
}

}  // namespace

String GetFileUsingSpecialMacros(const String& Path) {
    String result;
    String lower(Path);
    lower.LowerCase();
    String rest(Path);
    for (;;) {
        int kind = 0;
        int length = 0;
        const int p = FindFirstMacro(lower, kind, length);
        if (p == 0) return result + rest;
        result += rest.Copy(1, p - 1);
        lower.Delete(1, p - 1 + length);
        rest.Delete(1, p - 1 + length);
        const String best = PickEntry(result, kind);
        if (best.Length() == 0) return Path;
        result += best;
    }
}
