#include "tools/hostlist.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cli_args.h"

namespace {

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool ParsePort(const std::string& text, int& port, std::string& error) {
    long v = 0;
    if (!ParseDecimal(text.c_str(), 1, 65535, v)) {
        error = "invalid port '" + text + "'";
        return false;
    }
    port = int(v);
    return true;
}

}  // namespace

bool SplitHostEntry(const std::string& entry, int defaultPort, THostEntry& out,
                    std::string& error) {
    out.text = entry;
    out.port = defaultPort;
    std::string portText;
    bool hasPort = false;
    if (!entry.empty() && entry[0] == '[') {
        const size_t close = entry.find(']');
        if (close == std::string::npos) {
            error = "']' missing";
            return false;
        }
        out.host = entry.substr(1, close - 1);
        const std::string after = entry.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                error = "':' expected after ']'";
                return false;
            }
            portText = after.substr(1);
            hasPort = true;
        }
    } else {
        const size_t colon = entry.find(':');
        const bool oneColon =
            colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos;
        out.host = oneColon ? entry.substr(0, colon) : entry;
        if (oneColon) {
            portText = entry.substr(colon + 1);
            hasPort = true;
        }
    }
    if (out.host.empty()) {
        error = "empty host name";
        return false;
    }
    if (out.host.find_first_of(" \t") != std::string::npos) {
        error = "blank inside the host name";
        return false;
    }
    return !hasPort || ParsePort(portText, out.port, error);
}

bool ParseHostsText(const std::string& text, const std::string& name, int defaultPort,
                    std::vector<THostEntry>& hosts, std::string& error) {
    size_t start = 0;
    int lineNo = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lineNo++;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        THostEntry e;
        std::string why;
        if (!SplitHostEntry(line, defaultPort, e, why)) {
            error = name + " line " + std::to_string(lineNo) + ": " + why;
            return false;
        }
        hosts.push_back(e);
    }
    return true;
}

bool ParseHostsList(const std::string& list, int defaultPort, std::vector<THostEntry>& hosts,
                    std::string& error) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string item = Trim(list.substr(start, end - start));
        start = end + 1;
        if (item.empty()) continue;
        THostEntry e;
        std::string why;
        if (!SplitHostEntry(item, defaultPort, e, why)) {
            error = "-H " + item + ": " + why;
            return false;
        }
        hosts.push_back(e);
    }
    return true;
}

bool ReadHostsFile(const std::string& path, int defaultPort, std::vector<THostEntry>& hosts,
                   std::string& error) {
    FILE* f = std::fopen(path.c_str(), "re");
    std::string text;
    bool failed = f == nullptr;
    if (f) {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        failed = std::ferror(f) != 0;
        const int saved = errno;
        std::fclose(f);
        errno = saved;
    }
    if (failed) {
        error = "cannot read hosts file " + path + ": " + std::strerror(errno);
        return false;
    }
    return ParseHostsText(text, path, defaultPort, hosts, error);
}
