#include "platform/proctable.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/procread.h"

namespace {

// The kernel keeps this many bytes of a process name.
const size_t kKeptNameMax = 15;
// Buffers for one process's files. A kept name is at most 64 bytes even for
// the workqueue threads, whose name the kernel extends; a stat line holds
// the name and about fifty numbers; the real user id sits in the first few
// hundred bytes of status.
const size_t kCommBuf = 128;
const size_t kStatBuf = 4096;
const size_t kStatusBuf = 1024;
// Fields of a stat line after the name (state is 1): user and system ticks,
// start tick, resident pages; a line has at least kStatFieldsMin of them.
const int kFieldUtime = 12;
const int kFieldStime = 13;
const int kFieldStart = 20;
const int kFieldRss = 22;
const int kStatFieldsMin = 22;

// A process id as it names its directory: 1 to 10 digits.
struct TPidName {
    char text[12];
};

bool IsPidName(const char* name) {
    size_t n = 0;
    for (; name[n] != 0; n++)
        if (name[n] < '0' || name[n] > '9' || n >= 10) return false;
    return n > 0;
}

// "PID/file" in buf (room for a 10-digit id and the longest file name).
const char* EntryPath(char (&buf)[32], const char* pid, const char* file) {
    const size_t p = strlen(pid), f = strlen(file);
    memcpy(buf, pid, p);
    buf[p] = '/';
    memcpy(buf + p + 1, file, f + 1);
    return buf;
}

// Opens ProcRoot as a directory stream; null when it cannot be opened.
DIR* OpenRoot(const char* ProcRoot) {
    const int fd = OpenProcDir(ProcRoot);
    if (fd < 0) return nullptr;
    DIR* d = fdopendir(fd);
    if (d == nullptr) close(fd);
    return d;
}

// True when the base name of the program in the command line file Path
// (its bytes up to the first NUL or line feed, after the last '/') is
// Name. Reads in pieces and keeps nothing but a match position, however
// long the program path; false when the file cannot be read.
bool ProgramBaseNameIs(int Dir, const char* Path, std::string_view Name) {
    int fd;
    do {
        fd = openat(Dir, Path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    size_t matched = 0;
    bool same = true, ended = false, failed = false;
    char buf[4096];
    while (!ended) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; i++) {
            const char c = buf[i];
            if (c == '\0' || c == '\n') {
                ended = true;
                break;
            }
            if (c == '/') {
                matched = 0;
                same = true;
            } else if (same && matched < Name.size() && Name[matched] == c) {
                matched++;
            } else {
                same = false;
            }
        }
    }
    close(fd);
    return !failed && same && matched == Name.size();
}

// ---------------------------------------------------------------------------
// Process list

// The facts of one stat line the list shows.
struct TStatFacts {
    std::string_view name;  // inside the caller's buffer, line feeds as blanks
    unsigned long long ticks = 0, start = 0, rssPages = 0;
};

// Parses the stat line in buf[0, len) (ended by a line feed); the name runs
// from the first '(' to the last ')'. Line feeds inside the name become
// blanks in buf. False when the line is cut short or malformed.
bool ParseStat(char* buf, size_t len, TStatFacts& out) {
    if (len == 0 || buf[len - 1] != '\n') return false;
    len--;
    std::replace(buf, buf + len, '\n', ' ');
    const std::string_view line(buf, len);
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        close + 1 >= len || line[close + 1] != ' ')
        return false;
    unsigned long long utime = 0, stime = 0;
    bool ok = true;
    int field = 0;
    size_t at = close + 2;
    while (at < len) {
        while (at < len && (line[at] == ' ' || line[at] == '\t')) at++;
        if (at >= len) break;
        size_t end = at;
        while (end < len && line[end] != ' ' && line[end] != '\t') end++;
        const std::string_view word = line.substr(at, end - at);
        field++;
        if (field == kFieldUtime) ok = ok && ParseProcNumber(word, utime);
        if (field == kFieldStime) ok = ok && ParseProcNumber(word, stime);
        if (field == kFieldStart) ok = ok && ParseProcNumber(word, out.start);
        if (field == kFieldRss) ok = ok && ParseProcNumber(word, out.rssPages);
        at = end;
    }
    if (!ok || field < kStatFieldsMin) return false;
    out.name = line.substr(open + 1, close - open - 1);
    out.ticks = utime + stime;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The real user id from a status text: the second word of the first line
// whose first word is "Uid:". False when there is none.
bool FindRealUid(std::string_view status, std::string_view& uid) {
    size_t at = 0;
    while (at < status.size()) {
        size_t eol = status.find('\n', at);
        if (eol == std::string_view::npos) eol = status.size();
        std::string_view line = status.substr(at, eol - at);
        at = eol + 1;
        size_t p = 0;
        while (p < line.size() && IsBlank(line[p])) p++;
        line.remove_prefix(p);
        if (line.substr(0, 4) != "Uid:" || (line.size() > 4 && !IsBlank(line[4]))) continue;
        p = 4;
        while (p < line.size() && IsBlank(line[p])) p++;
        size_t end = p;
        while (end < line.size() && !IsBlank(line[end])) end++;
        if (end == p) return false;
        uid = line.substr(p, end - p);
        return true;
    }
    return false;
}

// User names by user id text, from a passwd file: the first line that gives
// an id wins. A missing or unreadable file gives no names.
class TUserNames {
  public:
    explicit TUserNames(const char* PasswdFile) {
        if (AppendWholeFile(PasswdFile, text) < 0) return;
        const std::string_view all(text);
        size_t at = 0;
        while (at < all.size()) {
            size_t eol = all.find('\n', at);
            if (eol == std::string_view::npos) eol = all.size();
            AddLine(all.substr(at, eol - at));
            at = eol + 1;
        }
    }
    // The name for uid, or uid itself when the file gives none.
    std::string_view NameOf(std::string_view uid) const {
        const auto it = byUid.find(uid);
        return it == byUid.end() ? uid : it->second;
    }

  private:
    // "name:password:uid:..."
    void AddLine(std::string_view line) {
        const size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) return;
        const size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) return;
        size_t c3 = line.find(':', c2 + 1);
        if (c3 == std::string_view::npos) c3 = line.size();
        const std::string_view uid = line.substr(c2 + 1, c3 - c2 - 1);
        if (!uid.empty()) byUid.emplace(uid, line.substr(0, c1));
    }

    std::string text;
    std::unordered_map<std::string_view, std::string_view> byUid;
};

struct TListContext {
    int dir;
    unsigned long long nowTicks;  // ticks since boot
    long pageKb;
    const TUserNames& users;
};

void AppendNumber(std::string& Out, unsigned long long v) {
    char buf[24];
    int n = 0;
    do {
        buf[n++] = char('0' + v % 10);
        v /= 10;
    } while (v > 0);
    while (n > 0) Out += buf[--n];
}

bool IsLineBreakOrTab(char c) {
    return c == '\t' || c == '\n' || c == '\r';
}

// Appends the line of process Pid; appends nothing and returns false when it
// ended or cannot be read.
bool AppendProcess(const TListContext& ctx, const char* Pid, std::string& Out) {
    char path[32];
    char stat[kStatBuf];
    const ssize_t statLen = ReadProcFile(ctx.dir, EntryPath(path, Pid, "stat"), stat, sizeof stat);
    TStatFacts facts;
    if (statLen <= 0 || size_t(statLen) >= sizeof stat || !ParseStat(stat, size_t(statLen), facts))
        return false;
    char status[kStatusBuf];
    const ssize_t statusLen =
        ReadProcFile(ctx.dir, EntryPath(path, Pid, "status"), status, sizeof status);
    std::string_view uid;
    if (statusLen <= 0 || !FindRealUid(std::string_view(status, size_t(statusLen)), uid))
        return false;

    const size_t mark = Out.size();
    Out += Pid;
    Out += ' ';
    Out += ctx.users.NameOf(uid);
    Out += ' ';
    const long long age = (long long)(ctx.nowTicks) - (long long)(facts.start);
    const unsigned long long permille = age > 0 ? facts.ticks * 1000 / (unsigned long long)age : 0;
    AppendNumber(Out, permille / 10);
    Out += '.';
    AppendNumber(Out, permille % 10);
    Out += ' ';
    AppendNumber(Out, facts.rssPages * (unsigned long long)ctx.pageKb);
    Out += ' ';
    const size_t command = Out.size();
    const ssize_t n = AppendProcFile(ctx.dir, EntryPath(path, Pid, "cmdline"), Out);
    if (n < 0) {
        Out.resize(mark);
        return false;
    }
    for (size_t i = command; i < Out.size(); i++)
        if (Out[i] == '\0' || IsLineBreakOrTab(Out[i])) Out[i] = ' ';
    if (n > 0 && Out.back() == ' ') Out.pop_back();
    if (Out.size() == command) {
        Out += '[';
        for (char c : facts.name) Out += IsLineBreakOrTab(c) ? ' ' : c;
        Out += ']';
    }
    Out += '\n';
    return true;
}

// Seconds since boot in hundredths, from "<seconds>.<fraction> ..."; false
// when the text has no such number.
bool ParseUptime(std::string_view text, unsigned long long& hundredths) {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos) return false;
    unsigned long long whole = 0;
    if (!ParseProcNumber(text.substr(0, dot), whole)) return false;
    unsigned long long frac = 0;
    for (size_t i = dot + 1; i < dot + 3; i++) {
        const char c = i < text.size() ? text[i] : '0';
        frac = frac * 10 + ((c >= '0' && c <= '9') ? unsigned(c - '0') : 0);
    }
    hundredths = whole * 100 + frac;
    return true;
}

// The process directories under d, sorted as text, each once.
std::vector<TPidName> PidNames(DIR* d) {
    std::vector<TPidName> names;
    while (const dirent* e = readdir(d)) {
        if (!IsPidName(e->d_name)) continue;
        TPidName p;
        memcpy(p.text, e->d_name, strlen(e->d_name) + 1);
        names.push_back(p);
    }
    const auto less = [](const TPidName& a, const TPidName& b) {
        return strcmp(a.text, b.text) < 0;
    };
    const auto same = [](const TPidName& a, const TPidName& b) {
        return strcmp(a.text, b.text) == 0;
    };
    std::sort(names.begin(), names.end(), less);
    names.erase(std::unique(names.begin(), names.end(), same), names.end());
    return names;
}

}  // namespace

bool CountProcessesNamed(const char* ProcRoot, std::string_view Name, long SkipPid, long& Count) {
    DIR* d = OpenRoot(ProcRoot);
    if (d == nullptr) return false;
    const size_t kept = std::min(Name.size(), kKeptNameMax);
    long count = 0;
    char path[32];
    while (const dirent* e = readdir(d)) {
        if (!IsPidName(e->d_name) || atol(e->d_name) == SkipPid) continue;
        char comm[kCommBuf];
        const ssize_t n =
            ReadProcFile(dirfd(d), EntryPath(path, e->d_name, "comm"), comm, sizeof comm);
        if (n <= 0) continue;
        const char* eol = static_cast<const char*>(memchr(comm, '\n', size_t(n)));
        if (eol == nullptr || size_t(eol - comm) != kept || memcmp(comm, Name.data(), kept) != 0)
            continue;
        if (Name.size() > kKeptNameMax &&
            !ProgramBaseNameIs(dirfd(d), EntryPath(path, e->d_name, "cmdline"), Name))
            continue;
        count++;
    }
    closedir(d);
    Count = count;
    return true;
}

bool ListProcesses(const TProcListEnv& Env, std::string& Out) {
    DIR* d = OpenRoot(Env.ProcRoot);
    if (d == nullptr) return false;
    char uptime[128];
    const ssize_t n = ReadProcFile(dirfd(d), "uptime", uptime, sizeof uptime - 1);
    unsigned long long hundredths = 0;
    if (n <= 0 || !ParseUptime(std::string_view(uptime, size_t(n)), hundredths)) {
        closedir(d);
        return false;
    }
    const TUserNames users(Env.PasswdFile);
    const std::vector<TPidName> pids = PidNames(d);
    const TListContext ctx{dirfd(d), hundredths * (unsigned long long)Env.ClockTicks / 100,
                           Env.PageKb, users};
    for (const TPidName& p : pids) AppendProcess(ctx, p.text, Out);
    closedir(d);
    return true;
}
