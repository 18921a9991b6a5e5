#include "platform/filepath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

bool isLeadByte(char) {
    return false;
}
int StrCharLength(const char*) {
    return 1;
}
int ByteType(const String&, int) {
    return 0;
}

bool IsPathDelimiter(const String& S, int Index) {
    return Index >= 1 && Index <= S.Length() && S[Index] == '/' && ByteType(S, Index) == 0;
}

String IncludeTrailingPathDelimiter(const String& S) {
    if (IsPathDelimiter(S, S.Length())) return S;
    return S + '/';
}

String ExcludeTrailingPathDelimiter(const String& S) {
    if (!IsPathDelimiter(S, S.Length())) return S;
    return S.Copy(1, S.Length() - 1);
}

int LastDelimiter(const char* Delims, const String& S) {
    for (int i = S.Length(); i >= 1; i--)
        if (S[i] != 0 && std::strchr(Delims, S[i]) && ByteType(S, i) == 0) return i;
    return 0;
}

String ExtractFilePath(const String& S) {
    return S.Copy(1, LastDelimiter("/", S));
}

String ExtractFileName(const String& S) {
    const int p = LastDelimiter("/", S);
    return S.Copy(p + 1, 4095);
}

String GetCurrentDir() {
    char buf[4095];
    if (!getcwd(buf, sizeof buf)) return String();
    return String(buf);
}

// Runs stat on a zero-terminated copy of Name.
static bool StatName(const String& Name, struct stat& st) {
    return Name.Length() > 0 && stat(ZeroTerminated(Name).Data(), &st) == 0;
}

int FileAge(const String& Name) {
    struct stat st;
    return StatName(Name, st) ? int(st.st_mtime) : -1;
}

long long FileSize(const String& Name) {
    struct stat st;
    return StatName(Name, st) ? (long long)st.st_size : -1;
}

bool FileExists(const String& Name) {
    struct stat st;
    return StatName(Name, st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const String& Name) {
    struct stat st;
    return StatName(Name, st) && S_ISDIR(st.st_mode);
}

bool DeleteFile(const String& Name) {
    return Name.Length() > 0 && unlink(ZeroTerminated(Name).Data()) == 0;
}
