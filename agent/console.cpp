#include "agent/console.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "platform/filepath.h"

// Messages and lines are cut to their buffers on purpose.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif

TMutex showmutex;

String LogFilePath(const String& name, const char* cfgfile) {
    if (name.Pos('/') || !std::strchr(cfgfile, '/')) return name;
    return ExtractFilePath(String(cfgfile)) + name;
}

namespace {

// Appends line with one write. A symbolic link planted at the log's path is
// not followed (the lines hold text a peer chose); a new log is readable by
// the owner's group only; a fifo without a reader cannot block the agent.
void AppendLine(const String& path, const char* line) {
    const int fd = open(ZeroTerminated(path).Data(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd < 0) return;
    const ssize_t ignored = write(fd, line, std::strlen(line));
    (void)ignored;
    close(fd);
}

}  // namespace

void writelog(String name, const char* line) {
    if (name.Length() == 0 || !line) return;
    AppendLine(LogFilePath(name, Settings()->cfgfile), line);
}

namespace {

// Longest console or log line, its line break included.
const size_t kLineMax = 511;

// One byte of message text as a line shows it, into out (room for 4):
// printable bytes and bytes from 0x80 (parts of UTF-8 characters) as they
// are; a backslash doubled; tab, CR and LF as \t, \r and \n; any other
// control character as \xHH. So a text a peer chose (a command name, a
// parameter) can neither end a line early nor move the cursor of a terminal
// that shows the log. Returns the bytes written.
int EscapedByte(unsigned char c, char* out) {
    static const char hex[] = "0123456789abcdef";
    if (c >= 0x20 && c != 0x7f && c != '\\') {
        out[0] = char(c);
        return 1;
    }
    out[0] = '\\';
    switch (c) {
        case '\\':
            out[1] = '\\';
            return 2;
        case '\t':
            out[1] = 't';
            return 2;
        case '\r':
            out[1] = 'r';
            return 2;
        case '\n':
            out[1] = 'n';
            return 2;
        default:
            out[1] = 'x';
            out[2] = hex[c >> 4];
            out[3] = hex[c & 15];
            return 4;
    }
}

// Fills line (kLineMax + 1 bytes) with head, then body escaped, then ends,
// zero-terminated. The body is cut, at the boundary of an escaped byte, so
// that the whole line with its ends fits: a cut line still ends its line.
void ComposeLine(char* line, const char* head, const char* body, size_t bodyLength,
                 const char* ends) {
    const size_t endsLength = std::strlen(ends);
    size_t n = std::strlen(head);
    if (n > kLineMax - endsLength) n = kLineMax - endsLength;
    std::memcpy(line, head, n);
    for (size_t i = 0; i < bodyLength; i++) {
        char piece[4];
        const int k = EscapedByte(static_cast<unsigned char>(body[i]), piece);
        if (n + size_t(k) + endsLength > kLineMax) break;
        std::memcpy(line + n, piece, size_t(k));
        n += size_t(k);
    }
    std::memcpy(line + n, ends, endsLength);
    line[n + endsLength] = 0;
}

}  // namespace

void showmessage(const char* format, in_addr peer, MsgType type, int hasArgs, ...) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (type == mtDebug && !s->debug) return;
    // Nowhere to show it: spare the formatting and the lock (a daemon
    // without logs reports several messages per request).
    const bool logged =
        s->verbose || (type == mtSuccess && s->logsuccess) || (type == mtFailure && s->logfails);
    if (!s->interactive && !logged) return;

    char message[512];
    int full = 0;
    if (hasArgs) {
        va_list ap;
        va_start(ap, hasArgs);
        full = std::vsnprintf(message, sizeof message, format, ap);
        va_end(ap);
    } else {
        full = std::snprintf(message, sizeof message, "%s", format ? format : "");
    }
    // The message's own closing line breaks end the line; every other byte
    // is text. A message without one, or cut, still ends its line, so the
    // next line (another peer's refusal, say) starts a line of its own.
    size_t body = full < 0 ? 0 : std::strlen(message);
    while (body > 0 && message[body - 1] == '\n') body--;
    const bool cut = full < 0 || size_t(full) >= sizeof message;
    const char* ends = cut || body == std::strlen(message) ? "\n" : message + body;
    if (std::strlen(ends) > 2) ends = "\n\n";

    char address[24];
    if (peer.s_addr == 0)
        std::snprintf(address, sizeof address, "tev\t");
    else if (!inet_ntop(AF_INET, &peer, address, sizeof address))
        address[0] = 0;

    TLock lock(showmutex);
    const time_t now = std::time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char dateText[23];
    char timeText[23];
    std::snprintf(dateText, sizeof dateText, "%2.2d/%2.2d/%2.2d", t.tm_mon + 1, t.tm_mday,
                  t.tm_year + 1900);
    std::snprintf(timeText, sizeof timeText, "%2.2d:%2.2d:%2.2d", t.tm_hour, t.tm_min, t.tm_sec);

    char head[80];
    char line[kLineMax + 1];
    if (s->interactive) {
        std::snprintf(head, sizeof head, "[tev][%s]\t %s\t ", timeText, address);
        ComposeLine(line, head, message, body, ends);
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
    std::snprintf(head, sizeof head, "[%s %s]\t %s\t ", dateText, timeText, address);
    ComposeLine(line, head, message, body, ends);
    if (type == mtSuccess && s->logsuccess) writelog(s->oklogfile, line);
    if (type == mtFailure && s->logfails) writelog(s->badlogfile, line);
    if (s->verbose) writelog(s->verboselogfile, line);
}
