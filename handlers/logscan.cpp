#include "handlers/logscan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/filepath.h"

namespace {

// Bytes read at a time. Large reads keep the system-call count low; the
// search runs over the whole block.
const size_t kBlockSize = 1 << 20;

inline bool IsTerminator(char c) {
    return c == '\n' || c == '\r';
}

inline bool IsWordByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// Index of the first CR or LF in [p, p + n), or n.
size_t FirstTerminator(const char* p, size_t n) {
    const void* lf = std::memchr(p, '\n', n);
    const size_t limit = lf ? size_t(static_cast<const char*>(lf) - p) : n;
    const void* cr = std::memchr(p, '\r', limit);
    return cr ? size_t(static_cast<const char*>(cr) - p) : limit;
}

int AddTerm(TLineMatcher& m, const String& text, int caseSensitive, int wholeWord) {
    const int cs = caseSensitive ? 1 : 0;
    const int ww = wholeWord ? 1 : 0;
    for (size_t k = 0; k < m.terms.size(); k++) {
        const TLineMatcher::Term& t = m.terms[k];
        if (t.wholeWord == ww && t.caseSensitive == cs && t.text == text) return int(k);
    }
    TLineMatcher::Term t;
    t.text = text;
    t.caseSensitive = cs;
    t.wholeWord = ww;
    t.finder.Init(text, cs);
    // A line never holds CR or LF, and an empty text is never found.
    t.never = text.Length() == 0 || text.Pos('\n') || text.Pos('\r');
    m.terms.push_back(t);
    m.longestTerm = std::max(m.longestTerm, text.Length());
    return int(m.terms.size()) - 1;
}

void AddCandidate(TLineMatcher& m, int term) {
    if (m.terms[size_t(term)].never) return;
    if (std::find(m.candidateTerms.begin(), m.candidateTerms.end(), term) == m.candidateTerms.end())
        m.candidateTerms.push_back(term);
}

}  // namespace

void TLineMatcher::Init(const TTextLogFilter& first, const TTextLogFilter* second) {
    terms.clear();
    candidateTerms.clear();
    everyLine = false;
    longestTerm = 0;
    const TTextLogFilter* given[2] = {&first, second};
    for (int i = 0; i < 2; i++) {
        Filter& f = filters[i];
        f = Filter();
        if (!given[i]) continue;
        const TTextLogFilter& src = *given[i];
        f.used = true;
        f.isExpression = src.isExpression != 0;
        if (!f.isExpression) {
            f.term = AddTerm(*this, src.expression, src.caseSensitive, src.wholeWord);
            AddCandidate(*this, f.term);
            continue;
        }
        String error;
        f.program.Compile(src.expression, error);
        for (const String& operand : f.program.Operands())
            f.termOf.push_back(AddTerm(*this, operand, src.caseSensitive, src.wholeWord));
        if (!f.program.CanMatch()) continue;
        if (f.program.Required().empty()) everyLine = true;
        for (int k : f.program.Required()) AddCandidate(*this, f.termOf[size_t(k)]);
    }
    anyMatch = everyLine || !candidateTerms.empty();
}

namespace {

// Where each search text first occurs (validly, under the whole-word rule) in
// the line being tested, fed window by window.
class LineProbe {
  public:
    explicit LineProbe(TLineMatcher& m) : matcher(m), firstPos(m.terms.size(), 0) {}

    void Reset() { std::fill(firstPos.begin(), firstPos.end(), 0); }

    // w[0, n) are line bytes starting at offsetInLine (0-based). firstWindow:
    // w[0] is the line's first byte. lineEnded: the line ends at w[n]. Later
    // windows overlap the previous one by more than the longest text, so an
    // occurrence is only accepted once the byte after it is known, and
    // occurrences at w[0] of a later window were judged already.
    void Feed(const char* w, size_t n, bool firstWindow, bool lineEnded, long long offsetInLine) {
        for (size_t k = 0; k < matcher.terms.size(); k++) {
            const TLineMatcher::Term& t = matcher.terms[k];
            if (t.never || firstPos[k]) continue;
            const size_t len = size_t(t.finder.Length());
            size_t from = firstWindow ? 0 : 1;
            while (from < n) {
                const char* hit = t.finder.Find(w + from, n - from);
                if (!hit) break;
                const size_t a = size_t(hit - w);
                if (!lineEnded && a + len >= n) break;
                bool ok = true;
                if (t.wholeWord) {
                    const bool before = a == 0 || !IsWordByte(w[a - 1]);
                    const bool after = a + len >= n || !IsWordByte(w[a + len]);
                    ok = before && after;
                }
                if (ok) {
                    firstPos[k] = offsetInLine + (long long)a + 1;
                    break;
                }
                from = a + 1;
            }
        }
    }

    // After the whole line was fed: true when it matches, with the 1-based
    // match position and the index of the filter that matched.
    bool Decide(long long& pos, int& filterIndex) {
        for (int i = 0; i < 2; i++) {
            TLineMatcher::Filter& f = matcher.filters[i];
            if (!f.used) continue;
            if (!f.isExpression) {
                if (firstPos[size_t(f.term)]) {
                    pos = firstPos[size_t(f.term)];
                    filterIndex = i;
                    return true;
                }
                continue;
            }
            if (!f.program.CanMatch()) continue;
            present.assign(f.termOf.size(), 0);
            for (size_t k = 0; k < f.termOf.size(); k++)
                present[k] = firstPos[size_t(f.termOf[k])] != 0;
            if (f.program.Evaluate(present)) {
                pos = 1;
                filterIndex = i;
                return true;
            }
        }
        return false;
    }

  private:
    TLineMatcher& matcher;
    std::vector<long long> firstPos;
    std::vector<char> present;
};

// One forward pass over the file from a start offset to its end.
class LogScanner {
  public:
    LogScanner(int file, TLineMatcher& m, int all, const TLogScanHooks* h)
        : fd(file), matcher(m), scanAll(all), hooks(h), probe(m) {
        cap = std::max(kBlockSize, size_t(m.longestTerm + 1) * 4);
        buf.reset(new char[cap]);
        nextAt.assign(m.terms.size(), 0);
    }

    // Scans from start. Returns the match offset or 0; position is the end
    // of the last complete line read (or of the matching line when the scan
    // stopped there). eofAt: the file offset where the end was found, or -1.
    long long Run(long long start, long long& position, int& matchedFirst, String& matchedLine,
                  long long& eofAt) {
        bufOff = start;
        lineBase = start;
        for (;;) {
            if (!eof) Read();
            size_t end = len;
            while (end > cur && !IsTerminator(buf[end - 1])) end--;
            if (end > cur) {
                if (ProcessRegion(cur, end)) break;
                cur = end;
            }
            if (eof) break;
            if (cur > 0) {
                std::memmove(buf.get(), buf.get() + cur, len - cur);
                bufOff += (long long)cur;
                len -= cur;
                cur = 0;
            }
            if (len == cap && LongLine()) break;
        }
        position = lineBase;
        eofAt = eofOffset;
        if (matched) {
            matchedFirst = matchedFilter == 0 ? 1 : 0;
            matchedLine = lineHead;
        }
        return result;
    }

  private:
    // Appends what the file holds at bufOff + len to the buffer; an empty
    // read or a read error ends the file. A full buffer reads nothing (a
    // long line can end with the buffer full of the lines after it).
    void Read() {
        if (len == cap) return;
        for (;;) {
            const ssize_t n = pread(fd, buf.get() + len, cap - len, off_t(bufOff + (long long)len));
            if (n > 0) {
                len += size_t(n);
                return;
            }
            if (n < 0 && errno == EINTR) continue;
            eof = true;
            eofOffset = bufOff + (long long)len;
            if (hooks && hooks->onEvent) hooks->onEvent(hooks->context, "eof");
            return;
        }
    }

    // The line [s, e) of the buffer, after prevEnd, was fed to the probe;
    // records a match. Returns true when the scan stops here.
    bool FinishLine(long long prevEnd, const char* head, size_t headLen) {
        long long pos = 0;
        int filterIndex = 0;
        if (!probe.Decide(pos, filterIndex)) return false;
        result = prevEnd + pos;
        matched = true;
        matchedFilter = filterIndex;
        lineHead.CopyData(head, int(std::min(headLen, size_t(kReportedLineMax))));
        return !scanAll;
    }

    // Complete lines in buf[from, to) (buf[to - 1] is a terminator): tests
    // the lines that may match and moves lineBase past the last complete
    // line. Returns true when the scan stops at a matching line.
    bool ProcessRegion(size_t from, size_t to) {
        if (matcher.anyMatch) {
            std::fill(nextAt.begin(), nextAt.end(), 0);
            bool fresh = true;  // nothing searched yet in this region
            for (;;) {
                size_t c = to;
                if (matcher.everyLine) {
                    c = from;
                    while (c < to && IsTerminator(buf[c])) c++;
                } else {
                    for (int k : matcher.candidateTerms) {
                        size_t& next = nextAt[size_t(k)];
                        if (fresh || next < from) {
                            const TTextFinder& f = matcher.terms[size_t(k)].finder;
                            const char* hit = f.Find(buf.get() + from, to - from);
                            next = hit ? size_t(hit - buf.get()) : to;
                        }
                        c = std::min(c, next);
                    }
                    fresh = false;
                }
                if (c >= to) break;
                size_t s = c;
                while (s > from && !IsTerminator(buf[s - 1])) s--;
                size_t e = c;
                while (!IsTerminator(buf[e])) e++;
                size_t j = s;
                while (j > from && IsTerminator(buf[j - 1])) j--;
                const long long prevEnd = j > from ? bufOff + (long long)j + 1 : lineBase;
                probe.Reset();
                probe.Feed(buf.get() + s, e - s, true, true, 0);
                lineBase = bufOff + (long long)e + 1;
                from = e + 1;
                if (FinishLine(prevEnd, buf.get() + s, e - s)) return true;
            }
        }
        size_t j = to;
        while (j > from && IsTerminator(buf[j - 1])) j--;
        if (j > from) lineBase = bufOff + (long long)j + 1;
        return false;
    }

    // buf[0, len) is the start of a line longer than the buffer. Streams the
    // line through the probe, keeping an overlap of more than the longest
    // text between windows. Returns true when the scan ends: the file ended
    // before the line did (the line is left for later) or the line matched
    // with scanAll 0. Otherwise buf[cur, len) holds what follows the line.
    bool LongLine() {
        const long long lineStart = bufOff;
        const long long prevEnd = lineBase;
        const size_t keep = size_t(matcher.longestTerm) + 1;
        char head[kReportedLineMax];
        const size_t headLen = std::min(len, size_t(kReportedLineMax));
        std::memcpy(head, buf.get(), headLen);
        probe.Reset();
        bool first = true;
        for (;;) {
            const size_t t = FirstTerminator(buf.get(), len);
            if (t < len) {
                probe.Feed(buf.get(), t, first, true, bufOff - lineStart);
                lineBase = bufOff + (long long)t + 1;
                cur = t + 1;
                return FinishLine(prevEnd, head, headLen);
            }
            probe.Feed(buf.get(), len, first, false, bufOff - lineStart);
            first = false;
            const size_t k = std::min(len, keep);
            std::memmove(buf.get(), buf.get() + len - k, k);
            bufOff += (long long)(len - k);
            len = k;
            Read();
            if (eof) return true;
        }
    }

    int fd;
    TLineMatcher& matcher;
    int scanAll;
    const TLogScanHooks* hooks;
    LineProbe probe;
    std::unique_ptr<char[]> buf;
    size_t cap = 0;
    size_t len = 0;          // bytes held
    size_t cur = 0;          // first byte not yet cut into lines
    long long bufOff = 0;    // file offset of buf[0]
    long long lineBase = 0;  // file offset after the last complete line
    bool eof = false;
    long long eofOffset = -1;
    std::vector<size_t> nextAt;  // per term: next occurrence in the region
    long long result = 0;
    bool matched = false;
    int matchedFilter = 0;
    String lineHead;
};

// Opens path for reading, three tries a second apart. -1 when all fail, and
// at once for a device, FIFO or socket: those have no
// end to scan to (and opening a FIFO would wait for a writer).
int OpenWithRetries(const String& path) {
    const String name = ZeroTerminated(path);
    for (int attempt = 0; attempt < 3; attempt++) {
        if (attempt > 0) SleepMs(1000);
        const int fd = open(name.Data(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && !S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode) &&
            !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode))
            return fd;
        close(fd);
        return -1;
    }
    return -1;
}

}  // namespace

long long ScanTextLog(const String& path, TLineMatcher& matcher, long long& position,
                      long long& lastSize, long long& lastAge, int scanAll, int& matchedFirst,
                      String& matchedLine, String& errorMessage, long long& fileSize,
                      const TLogScanHooks* hooks) {
    fileSize = FileSize(path);
    matchedLine = "";
    if (!FileExists(path)) {
        errorMessage = String("File \"") + ExtractFileName(path) + "\" not found";
        return -1;
    }
    errorMessage = "";
    if (lastSize != 0 && fileSize == lastSize && lastAge != 0 && FileAge(path) == lastAge) return 0;
    const int fd = OpenWithRetries(path);
    if (fd < 0) {
        errorMessage = "Cannot open file";
        return -1;
    }
    struct stat st;
    const long long size = fstat(fd, &st) == 0 ? (long long)st.st_size : fileSize;
    if (lastSize == 0) {
        // First request: the lines already there are never reported.
        position = size - 1;
        lastSize = size;
        lastAge = FileAge(path);
        close(fd);
        return 0;
    }
    long long start = position > size ? 0 : position;
    if (start < 0) {
        close(fd);
        errorMessage = "fseek error";
        return -1;
    }
    posix_fadvise(fd, off_t(start), 0, POSIX_FADV_SEQUENTIAL);
    long long newPosition = start;
    long long eofAt = -1;
    LogScanner scanner(fd, matcher, scanAll, hooks);
    const long long result = scanner.Run(start, newPosition, matchedFirst, matchedLine, eofAt);
    close(fd);
    position = newPosition;
    if (result != 0) fileSize = FileSize(path);
    if (result == 0 || scanAll) {
        // Lines appended after the end was found are not read yet: a size
        // past that end would make the next request take the file as
        // unchanged and skip them.
        long long now = FileSize(path);
        if (eofAt >= 0 && now > eofAt) now = eofAt;
        lastSize = now;
        lastAge = FileAge(path);
    }
    return result;
}

long long CheckFileForExpression(const String& path, const String& expression, long long& position,
                                 long long& lastSize, long long& lastAge, int isExpression,
                                 int scanAll, int caseSensitive, int wholeWord, String& matchedLine,
                                 String& errorMessage, long long& fileSize) {
    TTextLogFilter filter;
    filter.expression = expression;
    filter.isExpression = isExpression ? 1 : 0;
    filter.caseSensitive = caseSensitive;
    filter.wholeWord = wholeWord;
    TLineMatcher matcher;
    matcher.Init(filter, nullptr);
    int matchedFirst = 0;
    return ScanTextLog(path, matcher, position, lastSize, lastAge, scanAll, matchedFirst,
                       matchedLine, errorMessage, fileSize);
}

long long CheckFileForExpression2(const String& path, long long& position, long long& lastSize,
                                  long long& lastAge, const TTextLogFilter& first,
                                  const TTextLogFilter& second, int useSecond, int scanAll,
                                  int& matchedFirst, String& matchedLine, String& errorMessage,
                                  long long& fileSize) {
    TLineMatcher matcher;
    matcher.Init(first, useSecond ? &second : nullptr);
    return ScanTextLog(path, matcher, position, lastSize, lastAge, scanAll, matchedFirst,
                       matchedLine, errorMessage, fileSize);
}
