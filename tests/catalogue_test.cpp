// The command table against what uses it: the dispatcher recognises exactly
// its names, each request's right is the setting its handler checks, the
// REQUESTS section of tevctl(1) is the generated one, the tools' hints and
// the JSON keys and units of the value lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "agent/catalogue.h"
#include "agent/dispatch.h"
#include "agent/replyprint.h"
#include "agent_harness.h"
#include "config/cfgfile.h"
#include "config/settings.h"
#include "core/nearest.h"
#include "protocol/clientpacket.h"

namespace {

// Every flag key of the configuration file.
const char* const kFlags[] = {
    "filteractive", "logsuccess", "logfails",    "allowupdates",  "allowmanage",  "unc",
    "freespace",    "foldersize", "countfiles",  "fileexists",    "filecrc",      "comparefiles",
    "process",      "cpuusage",   "script",      "external",      "ping",         "tcp",
    "udp",          "textlog",    "shellscript", "executeaction", "tcpudpaction", "syslogaction"};

// Loads a configuration with every flag on (logs off), then the lines of
// extra. Returns the loader's result.
int LoadWith(const std::string& dir, const std::string& extra, std::string* warnings = nullptr) {
    std::string cfg = std::string("tevpath=") + TEV_BINARY + "\nport=1055\npassword=pw\n";
    for (const char* f : kFlags)
        cfg += std::string(f) + "=" +
               (std::strcmp(f, "logfails") && std::strcmp(f, "filteractive") ? "1" : "0") + "\n";
    cfg += extra;
    const std::string path = WriteFile(dir + "/tev.cfg", cfg);
    TEVSettings.Update([&path](TTEVSettings& s) {
        std::snprintf(s.cfgfile, sizeof s.cfgfile, "%s", path.c_str());
    });
    String error;
    const int ok = TEVSettings.LoadOptions(error);
    if (warnings) {
        TStrList found;
        FindIgnoredCfgLines(String(path.c_str()), found);
        for (int i = 0; i < found.Count(); i++) {
            String w = found[i];
            w.SetZero();
            *warnings += std::string(w.Data()) + "\n";
        }
    }
    return ok;
}

struct Dispatched {
    int recognised;
    std::string code;
};

// Runs command (no parameters) through the dispatcher as a client on
// 127.0.0.1 would.
Dispatched Dispatch(const char* command) {
    TStrList none;
    QVRequest req;
    req = BuildRequestBody(String(command), none);
    TEVReply reply;
    reply.InitPacket(nullptr, String());
    TConnection where{-1, {htonl(INADDR_LOOPBACK)}, 0};
    UpgradeRec upgrade;
    TRunRequest after = rrNone;
    const int recognised = ProcessQVRequest(req, reply, where, upgrade, after);
    EXPECT_EQ(after, rrNone) << command;
    return Dispatched{recognised, std::string(reply.Data(), 3)};
}

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_catalogue_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        TEVSettings.Update([](TTEVSettings& s) { s = TTEVSettings(); });
        for (const char* f : {"/tev.cfg", "/tev.cfg.Old"}) unlink((dir + f).c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

// With every right on except the ones a request names, the dispatcher
// recognises it and it answers "600": the table's right is the setting the
// handler (or the dispatcher) checks, and a configuration file knows it.
// Requests without a right are recognised and never answer "600". No
// handler gets past its right, so nothing runs.
TEST_F(CatalogueTest, EachRightIsTheSettingThatRefusesTheRequest) {
    std::set<std::string> names;
    for (const TCommandDef& c : CommandTable()) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(names.insert(c.name).second) << "twice in the table";
        std::istringstream words(c.right);
        std::string off, w;
        while (words >> w)
            if (w.find("addr") == std::string::npos) off += w + "=0\n";
        std::string warnings;
        ASSERT_EQ(LoadWith(dir, off, &warnings), 1);
        EXPECT_EQ(warnings, "");
        const Dispatched d = Dispatch(c.name);
        EXPECT_EQ(d.recognised, 1);
        if (off.empty())
            EXPECT_NE(d.code, "600");
        else
            EXPECT_EQ(d.code, "600");
    }
}

TEST_F(CatalogueTest, DispatcherKnowsNoOtherName) {
    ASSERT_EQ(LoadWith(dir, ""), 1);
    for (const char* name : {"test-tcp", "GetInfos", "TEST-", "Quit"}) {
        SCOPED_TRACE(name);
        const Dispatched d = Dispatch(name);
        EXPECT_EQ(d.recognised, 0);
        EXPECT_EQ(d.code, "500");
        EXPECT_EQ(FindCommand(String(name)), nullptr);
    }
}

// Each entry is complete enough for the catalogue and the completion.
TEST(Catalogue, EntriesAreWellFormed) {
    const std::set<std::string> forms = {"path", "folder", "mask", "text", "int",
                                         "flag", "host",   "port", "mode", "setting"};
    for (const TCommandDef& c : CommandTable()) {
        SCOPED_TRACE(c.name);
        EXPECT_NE((c.handler != nullptr), (c.contextHandler != nullptr));
        EXPECT_GT(std::strlen(c.summary), 0u);
        int last = -1;
        for (const TParamDoc& p : c.params) {
            EXPECT_GT(p.position, last);
            last = p.position;
            EXPECT_EQ(forms.count(p.form), 1u) << p.form;
            EXPECT_GT(std::strlen(p.meaning), 0u);
        }
        EXPECT_NE(CatalogueText().find(CatalogueEntry(c)), std::string::npos);
    }
    // The completion's lines: every name in table order, one word per
    // parameter position up to the last one.
    std::istringstream lines(CatalogueNames());
    std::string line;
    size_t i = 0;
    while (std::getline(lines, line)) {
        ASSERT_LT(i, CommandTable().size());
        const TCommandDef& c = CommandTable()[i++];
        std::istringstream words(line);
        std::string name;
        words >> name;
        EXPECT_EQ(name, c.name);
        int count = 0;
        for (std::string w; words >> w;) count++;
        EXPECT_EQ(count, c.params.empty() ? 0 : c.params.back().position) << line;
    }
    EXPECT_EQ(i, CommandTable().size());
}

TEST(Catalogue, ManPageSectionIsTheGeneratedOne) {
    const std::string page =
        agent_harness_detail::ReadWholeFile(std::string(TEV_SOURCE_DIR) + "/man/tevctl.1");
    const size_t begin = page.find(".Sh REQUESTS\n");
    ASSERT_NE(begin, std::string::npos);
    const size_t end = page.find("\n.Sh ", begin + 1);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(page.substr(begin, end + 1 - begin), CatalogueRoff())
        << "run tools/update-man-requests.sh";
}

TEST(Catalogue, Hints) {
    struct Case {
        const char* command;
        const char* code;
        const char* hint;
    } cases[] = {
        {"ACT-Syslog", "600", "(setting syslogaction is 0)"},
        {"GetFilesList", "600",
         "(settings foldersize, countfiles, fileexists, filecrc, comparefiles and textlog are all "
         "0)"},
        {"QUIT", "600", "(setting allowmanage is 0, or manageaddr does not list this client)"},
        {"UpgradeCode", "600",
         "(setting allowupdates is 0, or updateaddr does not list this client)"},
        {"GetInfo", "600", ""},
        {"ACT-Syslog", "200", ""},
        {"TEST-FileExist", "500", "(did you mean 'TEST-FileExists'?)"},
        {"test-tcp", "500", "(did you mean 'TEST-TCP'?)"},
        {"getinfo", "500", "(did you mean 'GetInfo'?)"},
        {"TEST-FileExits", "500", "(did you mean 'TEST-FileExists'?)"},
        {"Frobnicate", "500", ""},
        {"TEST-Ping", "500", ""},  // known: its own "not implemented" answer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(ReplyHint(String(c.command), String(c.code)), c.hint);
    }
}

TEST(Catalogue, NearestName) {
    EXPECT_EQ(EditDistance("externel", "external"), 1);
    EXPECT_EQ(EditDistance("prot", "port"), 1);  // a swap is one edit
    EXPECT_EQ(EditDistance("", "abc"), 3);
    const std::vector<const char*> keys = {"port", "password", "external", "tcp", "udp"};
    EXPECT_STREQ(NearestName("externel", keys), "external");
    EXPECT_STREQ(NearestName("PASWORD", keys), "password");
    EXPECT_EQ(NearestName("xyz", keys), nullptr);
    EXPECT_EQ(NearestName("", keys), nullptr);
    EXPECT_EQ(NearestName("sysloghost", keys), nullptr);
}

// The value lines as the tools use them: a form they know, a JSON key that
// is a plain identifier and unique within its request (two equal keys
// would hide a value), a unit the monitoring systems know, a maximum line
// that exists and is a number of the same unit.
TEST(Catalogue, ValueLinesHaveKeysUnitsAndForms) {
    const std::set<std::string> forms = {"int", "real", "flag", "time", "text", "pairs", "rest"};
    const std::set<std::string> units = {"", "B", "s", "ms", "%"};
    for (const TCommandDef& c : CommandTable()) {
        SCOPED_TRACE(c.name);
        std::set<std::string> keys;
        for (size_t i = 0; i < c.values.size(); i++) {
            const TValueDoc& v = c.values[i];
            SCOPED_TRACE(v.meaning);
            EXPECT_EQ(forms.count(v.form), 1u) << v.form;
            EXPECT_EQ(units.count(v.unit), 1u) << v.unit;
            const std::string form = v.form;
            const std::string key = ValueKey(v);
            if (form == "pairs" || form == "rest") {
                EXPECT_EQ(i + 1, c.values.size()) << "describes every further line, so comes last";
                EXPECT_EQ(key, form == "rest" ? kRestKey : "");
                continue;
            }
            EXPECT_FALSE(key.empty());
            EXPECT_EQ(key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"),
                      std::string::npos);
            EXPECT_NE(key.front(), '_');
            EXPECT_NE(key.back(), '_');
            EXPECT_NE(key, kRestKey);
            EXPECT_TRUE(keys.insert(key).second) << key;
            if (*v.unit) {
                EXPECT_TRUE(form == "int" || form == "real") << form;
            }
            if (v.maxLine != 0) {
                ASSERT_GE(v.maxLine, 1);
                ASSERT_LE(size_t(v.maxLine), c.values.size());
                EXPECT_NE(size_t(v.maxLine), i + 1);
                EXPECT_STREQ(c.values[size_t(v.maxLine - 1)].unit, v.unit);
            }
        }
    }
}

TEST(Catalogue, ValueKeyRule) {
    struct Case {
        const char* meaning;
        const char* key;
    } cases[] = {
        {"total bytes", "total_bytes"},
        {"the CRC (0 to 4294967295)", "crc"},
        {"position (send back next time)", "position"},
        {"lastSize (send back next time)", "lastsize"},
        {"pending: 1 when another line waits", "pending"},
        {"the list, one process a line", "list"},
        {"the program's exit code", "programs_exit_code"},
        {"status-change time (DDMMYYYYhhmmss)", "status_change_time"},
        {"  -- odd  text --  ", "odd_text"},
        {"theory", "theory"},
    };
    for (const Case& c : cases) EXPECT_EQ(ValueKey(TValueDoc{"int", c.meaning}), c.key);
    EXPECT_EQ(ValueKey(TValueDoc{"pairs", "name=value lines"}), "");
    EXPECT_EQ(ValueKey(TValueDoc{"rest", "then per entry: name"}), kRestKey);
}

// The reserve places below the session caps carry management requests and
// GetInfo only, as the table decides; names are exact.
TEST(CommandTable, ManagementRequestsAreServedOnTheReserve) {
    for (const char* c :
         {"ReloadCfg", "ReloadApp", "QUIT", "GetSettings", "SetSettings", "GetInfo"})
        EXPECT_TRUE(ServedOnReserve(String(c))) << c;
    for (const char* c : {"TEST-ExternalPrg", "UpgradeCode", "quit", "GetInfo "})
        EXPECT_FALSE(ServedOnReserve(String(c))) << c;
}

}  // namespace
