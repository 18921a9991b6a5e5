#include "tools/agentcfg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/cfgfile.h"
#include "config/settingsrecord.h"

namespace {

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// 0 when path can be opened and read as a file, otherwise the errno that
// stops it (EISDIR for a folder). The loader's own message says only that it
// could not open the file; an operator needs the reason (no such file, no
// permission).
int ReadableError(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    close(fd);
    return err;
}

// The loader's refusal lines ("  Line <n>: <key>=<value>: <reason>"), one
// per element, without the indent.
std::vector<std::string> RefusalLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t b = line.find_first_not_of(' ');
        if (b != std::string::npos) lines.push_back(line.substr(b));
    }
    return lines;
}

}  // namespace

bool ReadAgentAddress(const std::string& path, TAgentAddress& out,
                      std::vector<std::string>& warnings, std::string& error) {
    if (path.size() >= sizeof(TTEVSettings().cfgfile)) {
        error = "cannot read configuration file " + path + ": " + std::strerror(ENAMETOOLONG);
        return false;
    }
    if (const int err = ReadableError(path)) {
        error = "cannot read configuration file " + path + ": " + std::strerror(err);
        return false;
    }
    TTEVSettings s;
    std::memcpy(s.cfgfile, path.c_str(), path.size() + 1);
    String loadError;
    const int loaded = LoadCfgFile(s, loadError);
    if (loaded == 0) {
        error = "cannot read configuration file " + path + ": " + ToStd(loadError);
        return false;
    }
    for (const std::string& line : RefusalLines(ToStd(loadError))) {
        if (s.port == 0 && line.find(": port=") != std::string::npos) {
            error = path + ": " + line;
            return false;
        }
        warnings.push_back(path + ": " + line);
    }
    String host = s.host;
    host.Trim();
    out.host = ToStd(host);
    if (out.host.empty() || out.host == "0.0.0.0") out.host = "127.0.0.1";
    out.port = s.port;
    out.password = ToStd(s.password);
    if (out.port == 0) {
        error = path + " names no port";
        return false;
    }
    if (out.password.empty()) {
        error = path + " names no password";
        return false;
    }
    return true;
}
