#include "tools/logstate.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/filereplace.h"
#include "tools/cli_args.h"

namespace {

const char* const kStateKeys[] = {"position", "lastsize", "lastage"};

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// Position of the first state parameter of command (0: none).
int FirstStateParam(const String& command) {
    if (command == "TEST-TextLog") return 3;
    if (command == "TEST-TextLog2") return 2;
    return 0;
}

// "check=" line's value: the request and its log file.
std::string CheckText(const String& command, const std::vector<String>& params) {
    return ToStd(command) + " " + (params.empty() ? std::string() : ToStd(params[0]));
}

// A whole decimal number (blanks around it allowed, as the 64-bit form
// pads) in [0, 2^63); empty when it is not one.
std::string StateNumber(const std::string& text) {
    const size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    const std::string t = text.substr(b, text.find_last_not_of(' ') - b + 1);
    if (t.empty() || t.size() > 18 || t.find_first_not_of("0123456789") != std::string::npos)
        return std::string();
    return t;
}

}  // namespace

bool HasLogState(const String& command) {
    return FirstStateParam(command) != 0;
}

bool LoadLogState(const std::string& path, const String& command, std::vector<String>& params,
                  std::string& error) {
    const int first = FirstStateParam(command);
    std::string state[3] = {"0", "0", "0"};
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f && errno != ENOENT) {
        error = "state file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (f) {
        std::string check;
        std::string got[3];
        char line[4096];
        int lineNo = 0;
        bool bad = false;
        while (!bad && std::fgets(line, sizeof line, f)) {
            lineNo++;
            std::string l = line;
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            if (l.empty() || l[0] == '#') continue;
            const size_t eq = l.find('=');
            const std::string key = l.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : l.substr(eq + 1);
            bool known = key == "check";
            if (known) check = value;
            for (int k = 0; k < 3; k++)
                if (key == kStateKeys[k]) {
                    known = true;
                    got[k] = StateNumber(value);
                    bad = got[k].empty();
                }
            if (!known || eq == std::string::npos) bad = true;
            if (bad)
                error = "state file " + path + ": line " + std::to_string(lineNo) +
                        " is not <key>=<number>";
        }
        if (!bad && std::ferror(f)) {
            bad = true;
            error = "state file " + path + ": " + std::strerror(errno);
        }
        std::fclose(f);
        if (bad) return false;
        if (check == CheckText(command, params) && !got[0].empty() && !got[1].empty() &&
            !got[2].empty())
            for (int k = 0; k < 3; k++) state[k] = got[k];
    }
    if (params.size() < size_t(first + 2)) params.resize(size_t(first + 2));
    for (int k = 0; k < 3; k++) params[size_t(first - 1 + k)] = String(state[k].c_str());
    return true;
}

bool SaveLogState(const std::string& path, const String& command, const std::vector<String>& params,
                  const std::vector<String>& values, std::string& error) {
    std::string content = "# tevctl --state: the watch state of one text log check\n";
    content += "check=" + CheckText(command, params) + "\n";
    for (int k = 0; k < 3; k++) {
        const std::string n =
            values.size() > size_t(3 + k) ? StateNumber(ToStd(values[size_t(3 + k)])) : "";
        if (n.empty()) {
            error = "state file " + path + ": the reply holds no state (value " +
                    std::to_string(4 + k) + ")";
            return false;
        }
        content += std::string(kStateKeys[k]) + "=" + n + "\n";
    }
    TFileReplacement r;
    r.target = ReplacementTarget(String(path.c_str()));
    r.temp = r.target + String((".new." + std::to_string(getpid())).c_str());
    r.own = TFileOwnership{getuid(), getgid(), 0600};
    const int fd = open(ZeroTerminated(r.target).Data(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ReadOwnership(fd, r.own);
        close(fd);
    }
    if (ReplaceFile(r, String(content.data(), int(content.size()))) != rrDone) {
        error = "state file " + path + ": cannot replace it: " + std::strerror(errno);
        return false;
    }
    return true;
}
