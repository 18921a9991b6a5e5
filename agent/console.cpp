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

void showmessage(const char* format, in_addr peer, MsgType type, int hasArgs, ...) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (type == mtDebug && !s->debug) return;
    // Nowhere to show it: spare the formatting and the lock (a daemon
    // without logs reports several messages per request).
    const bool logged =
        s->verbose || (type == mtSuccess && s->logsuccess) || (type == mtFailure && s->logfails);
    if (!s->interactive && !logged) return;

    char message[512];
    if (hasArgs) {
        va_list ap;
        va_start(ap, hasArgs);
        std::vsnprintf(message, sizeof message, format, ap);
        va_end(ap);
    } else {
        std::snprintf(message, sizeof message, "%s", format ? format : "");
    }

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

    char line[512];
    if (s->interactive) {
        std::snprintf(line, sizeof line, "[tev][%s]\t %s\t %s", timeText, address, message);
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
    std::snprintf(line, sizeof line, "[%s %s]\t %s\t %s", dateText, timeText, address, message);
    if (type == mtSuccess && s->logsuccess) writelog(s->oklogfile, line);
    if (type == mtFailure && s->logfails) writelog(s->badlogfile, line);
    if (s->verbose) writelog(s->verboselogfile, line);
}
