// The manual pages: clean under mandoc's checker, and tev.cfg(5) in step
// with the configuration loader (every key, whether the agent rewrites it,
// and the default a load gives it).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "agent_harness.h"
#include "config/settings.h"

#ifndef TEV_SOURCE_DIR
#error "TEV_SOURCE_DIR must name the source tree"
#endif

namespace {

std::string Source(const std::string& relative) {
    return agent_harness_detail::ReadWholeFile(std::string(TEV_SOURCE_DIR) + "/" + relative);
}

// The first executable named name on PATH, or "".
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

TEST(ManPages, CleanUnderMandocLint) {
    const std::string mandoc = FindProgram("mandoc");
    if (mandoc.empty()) GTEST_SKIP() << "mandoc is not installed (tools/deps.sh installs it)";
    char dir[] = "/tmp/tev_man_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/lint.out";
    for (const char* page : {"man/tev.8", "man/tev.cfg.5", "man/tevctl.1"}) {
        SCOPED_TRACE(page);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const pid_t pid = agent_harness_detail::Spawn(
            mandoc, {"-T", "lint", "-W", "warning", std::string(TEV_SOURCE_DIR) + "/" + page}, fd,
            fd);
        close(fd);
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(agent_harness_detail::DecodeStatus(status), 0);
        EXPECT_EQ(agent_harness_detail::ReadWholeFile(out), "");
    }
    unlink(out.c_str());
    rmdir(dir);
}

struct PageKey {
    bool rewritten = false;
    std::string defaultText;  // after "Default: ", without the final "." or "; ..."
};

// The keys of tev.cfg(5): ".It Cm key Ns = ..." entries, each with its
// "Default:" and "Rewritten:" lines.
std::map<std::string, PageKey> PageKeys() {
    std::map<std::string, PageKey> keys;
    std::stringstream page(Source("man/tev.cfg.5"));
    const std::regex entry(R"(^\.It Cm ([a-z]+) Ns = Ns Ar .*)");
    std::string line, current;
    std::smatch m;
    while (std::getline(page, line)) {
        if (std::regex_match(line, m, entry)) {
            current = m[1];
            keys[current] = PageKey();
        } else if (!current.empty() && line.rfind("Default: ", 0) == 0) {
            std::string d = line.substr(9);
            d = d.substr(0, d.find(';'));
            if (!d.empty() && d.back() == '.') d.pop_back();
            keys[current].defaultText = d;
        } else if (!current.empty() && line.rfind("Rewritten: ", 0) == 0) {
            keys[current].rewritten = line == "Rewritten: yes.";
        }
    }
    return keys;
}

// The loader's key table in config/cfgfile.cpp: key name -> saved.
std::map<std::string, bool> LoaderKeys() {
    std::map<std::string, bool> keys;
    const std::string source = Source("config/cfgfile.cpp");
    const size_t begin = source.find("kKeys[] = {");
    const std::string text =
        begin == std::string::npos ? "" : source.substr(begin, source.find("};", begin) - begin);
    const std::regex entry(
        R"re((?:(?:TEXT|NUMBER)_KEY\((\w+), (true|false)\))|(?:FLAG_KEY\((\w+)\))|(?:\{"(\w+)", vf\w+, (true|false),))re");
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        const std::smatch& m = *it;
        if (m[1].matched) keys[m[1]] = m[2] == "true";
        if (m[3].matched) keys[m[3]] = true;
        if (m[4].matched) keys[m[4]] = m[5] == "true";
    }
    return keys;
}

TEST(ManPages, ConfigurationPageListsEveryLoaderKey) {
    const std::map<std::string, PageKey> page = PageKeys();
    const std::map<std::string, bool> loader = LoaderKeys();
    ASSERT_GT(loader.size(), 40u) << "the loader's table was not found in config/cfgfile.cpp";
    for (const auto& [key, saved] : loader) {
        SCOPED_TRACE(key);
        const auto it = page.find(key);
        ASSERT_NE(it, page.end()) << "missing in tev.cfg(5)";
        EXPECT_EQ(it->second.rewritten, saved);
    }
    for (const auto& [key, entry] : page) EXPECT_EQ(loader.count(key), 1u) << key;
}

// What the page says a load gives each rewritten key is what the agent
// writes back after loading a file that names only the required keys.
TEST(ManPages, ConfigurationPageDefaultsMatchTheLoader) {
    char dir[] = "/tmp/tev_man_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string cfg = std::string(dir) + "/tev.cfg";
    ASSERT_FALSE(
        WriteFile(cfg, std::string("tevpath=") + TEV_BINARY + "\nport=1055\npassword=x\n").empty());
    TTEVSettings s;
    std::snprintf(s.cfgfile, sizeof s.cfgfile, "%s", cfg.c_str());
    String error;
    ASSERT_EQ(LoadOptions_(s, error), 1);
    ASSERT_EQ(SaveOptions_(s, error), 1);
    std::map<std::string, std::string> written;
    std::stringstream lines(agent_harness_detail::ReadWholeFile(cfg));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq != std::string::npos) written[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (const char* leftover : {"/tev.cfg", "/tev.cfg.Old"})
        unlink((std::string(dir) + leftover).c_str());
    rmdir(dir);

    const std::regex kept(R"(kept \((.*) at start\))");
    std::smatch m;
    int checked = 0;
    for (const auto& [key, entry] : PageKeys()) {
        if (!entry.rewritten || key == "port" || key == "password") continue;
        SCOPED_TRACE(key);
        std::string expected = entry.defaultText;
        if (std::regex_match(entry.defaultText, m, kept)) expected = m[1];
        if (expected == "empty") expected = "";
        ASSERT_EQ(written.count(key), 1u);
        EXPECT_EQ(written[key], expected);
        checked++;
    }
    EXPECT_GT(checked, 30);
}

}  // namespace
