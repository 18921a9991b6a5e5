#include "config/cfgfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "agent_harness.h"
#include "config/settings.h"

namespace {

using agent_harness_detail::ReadWholeFile;

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// Replaces every occurrence of what in s by with.
std::string ReplaceAllOf(std::string s, const std::string& what, const std::string& with) {
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + with.size()))
        s.replace(p, what.size(), with);
    return s;
}

// Every field of the record as text, by field name, so that tables can name
// the fields they expect.
std::string FieldText(const TTEVSettings& s, const std::string& name) {
    static const std::map<std::string, String TTEVSettings::*> texts = {
        {"tmpdir", &TTEVSettings::tmpdir},
        {"tevpath", &TTEVSettings::tevpath},
        {"pidfile", &TTEVSettings::pidfile},
        {"host", &TTEVSettings::host},
        {"password", &TTEVSettings::password},
        {"comment", &TTEVSettings::comment},
        {"verboselogfile", &TTEVSettings::verboselogfile},
        {"oklogfile", &TTEVSettings::oklogfile},
        {"badlogfile", &TTEVSettings::badlogfile},
        {"filterlist", &TTEVSettings::filterlist},
        {"updateaddr", &TTEVSettings::updateaddr},
        {"filtermarks", &TTEVSettings::filtermarks},
        {"manageaddr", &TTEVSettings::manageaddr},
        {"activefilter", &TTEVSettings::activefilter},
        {"cpuusagescript", &TTEVSettings::cpuusagescript},
        {"proclistscript", &TTEVSettings::proclistscript},
        {"proccntscript", &TTEVSettings::proccntscript},
    };
    static const std::map<std::string, int TTEVSettings::*> numbers = {
        {"port", &TTEVSettings::port},
        {"timeout", &TTEVSettings::timeout},
        {"delayforscripts", &TTEVSettings::delayforscripts},
        {"transferidle", &TTEVSettings::transferidle},
        {"logsuccess", &TTEVSettings::logsuccess},
        {"filteractive", &TTEVSettings::filteractive},
        {"logfails", &TTEVSettings::logfails},
        {"allowupdates", &TTEVSettings::allowupdates},
        {"allowmanage", &TTEVSettings::allowmanage},
        {"unc", &TTEVSettings::unc},
        {"freespace", &TTEVSettings::freespace},
        {"foldersize", &TTEVSettings::foldersize},
        {"countfiles", &TTEVSettings::countfiles},
        {"fileexists", &TTEVSettings::fileexists},
        {"filecrc", &TTEVSettings::filecrc},
        {"comparefiles", &TTEVSettings::comparefiles},
        {"process", &TTEVSettings::process},
        {"cpuusage", &TTEVSettings::cpuusage},
        {"script", &TTEVSettings::script},
        {"external", &TTEVSettings::external},
        {"ping", &TTEVSettings::ping},
        {"tcp", &TTEVSettings::tcp},
        {"udp", &TTEVSettings::udp},
        {"textlog", &TTEVSettings::textlog},
        {"shellscript", &TTEVSettings::shellscript},
        {"executeaction", &TTEVSettings::executeaction},
        {"tcpudpaction", &TTEVSettings::tcpudpaction},
        {"syslogaction", &TTEVSettings::syslogaction},
    };
    auto t = texts.find(name);
    if (t != texts.end()) return Str(s.*(t->second));
    auto n = numbers.find(name);
    if (n != numbers.end()) return std::to_string(s.*(n->second));
    ADD_FAILURE() << "unknown field " << name;
    return "";
}

using Expectations = std::vector<std::pair<const char*, const char*>>;

// A temporary directory with an agent executable ("tev") and the path of a
// configuration file ("tev.cfg") in it. In file texts "{TEV}" stands for the
// agent's path, "{CFG}" for the configuration file's path and "{DIR}" for the
// directory.
class CfgFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tevcfgXXXXXX";
        const char* p = mkdtemp(tmpl);
        ASSERT_NE(p, nullptr);
        dir_ = p;
        tev_ = dir_ + "/tev";
        cfg_ = dir_ + "/tev.cfg";
        WriteFile(tev_, "#!/bin/sh\n");
        const char* env = getenv("TMPDIR");
        tmpdirSet_ = env != nullptr;
        if (env) tmpdirSaved_ = env;
        setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (tmpdirSet_)
            setenv("TMPDIR", tmpdirSaved_.c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string Expand(const std::string& s) const {
        return ReplaceAllOf(ReplaceAllOf(ReplaceAllOf(s, "{TEV}", tev_), "{CFG}", cfg_), "{DIR}",
                            dir_);
    }
    static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
    static mode_t ModeOf(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    // A record naming the test's configuration file.
    TTEVSettings Record() const {
        TTEVSettings s;
        std::strcpy(s.cfgfile, cfg_.c_str());
        return s;
    }

    std::string dir_;
    std::string tev_;
    std::string cfg_;
    bool tmpdirSet_ = false;
    std::string tmpdirSaved_;
};

const char* const kBase = "password=pw\ntevpath={TEV}\nport=1055\n";

TEST_F(CfgFileTest, LoadReadsKeysAndValues) {
    struct Case {
        const char* name;
        std::string file;
        int portBefore;
        Expectations expect;
    };
    const Case cases[] = {
        {"defaults for what the file lacks",
         kBase,
         0,
         {{"port", "1055"},
          {"password", "pw"},
          {"timeout", "4000"},
          {"comment", ""},
          {"filteractive", "0"},
          {"filtermarks", "1"},
          {"filterlist", "127.0.0.1"},
          {"activefilter", "\r\n127.0.0.1\r\n"},
          {"logsuccess", "0"},
          {"logfails", "1"},
          {"oklogfile", "log1.txt"},
          {"badlogfile", "log2.txt"},
          {"allowupdates", "1"},
          {"allowmanage", "1"},
          {"updateaddr", "127.0.0.1"},
          {"manageaddr", "127.0.0.1"},
          {"unc", "1"},
          {"freespace", "1"},
          {"comparefiles", "1"},
          {"ping", "1"},
          {"shellscript", "1"},
          {"executeaction", "0"},
          {"tcpudpaction", "0"},
          {"syslogaction", "0"},
          {"pidfile", ""},
          {"delayforscripts", "90000"}}},
        {"keys in any case with blanks around",
         "password=pw\ntevpath={TEV}\n\tPort = 1055 \r\n COMMENT\t=\t a = b \t\r\n",
         0,
         {{"port", "1055"}, {"comment", "a = b"}}},
        {"comment lines and a blank before #",
         "#port=7\n;password=x\n  #port=9\n" + std::string(kBase) + "# comment=c\n",
         0,
         {{"port", "1055"}, {"password", "pw"}, {"comment", ""}}},
        {"lines without = and unknown keys ignored",
         std::string(kBase) + "just text\nxyz=1\n\n\r\nport\n",
         0,
         {{"port", "1055"}}},
        {"first non-zero port wins",
         "port=0\nport=\npassword=pw\ntevpath={TEV}\nport=2000\nport=3000\n",
         0,
         {{"port", "2000"}}},
        {"port from the command line wins", kBase, 2000, {{"port", "2000"}}},
        {"repeated keys: last wins",
         std::string(kBase) + "comment=one\ncomment=two\nunc=0\nunc=1\n",
         0,
         {{"comment", "two"}, {"unc", "1"}}},
        {"flag forms",
         std::string(kBase) + "logfails=yes\nlogsuccess= 1\nunc=\nfilteractive=1abc\ntcp=true\n",
         0,
         {{"logfails", "0"},
          {"logsuccess", "1"},
          {"unc", "0"},
          {"filteractive", "1"},
          {"tcp", "0"}}},
        {"timeout 0 becomes 4000", std::string(kBase) + "timeout=0\n", 0, {{"timeout", "4000"}}},
        {"negative timeout kept", std::string(kBase) + "timeout=-1\n", 0, {{"timeout", "-1"}}},
        {"numbers with a sign and blanks",
         std::string(kBase) + "timeout= +12 \ndelayforscripts=0\ntransferidle=0\n",
         0,
         {{"timeout", "12"}, {"delayforscripts", "0"}, {"transferidle", "60000"}}},
        {"address items separated by blanks",
         std::string(kBase) + "filterlist=  10.0.0.1   10.0.0.2 \nfiltermarks=11\n",
         0,
         {{"filterlist", "10.0.0.1\r\n10.0.0.2"},
          {"activefilter", "\r\n10.0.0.1\r\n10.0.0.2\r\n"}}},
        {"address items with encoded line breaks",
         std::string(kBase) + "filterlist=10.0.0.1%0D%0A10.0.0.2\nfiltermarks=01\n",
         0,
         {{"filterlist", "10.0.0.1\r\n10.0.0.2"}, {"activefilter", "\r\n10.0.0.2\r\n"}}},
        {"address lists and texts unchanged",
         std::string(kBase) +
             "updateaddr=10.0.0.1  10.0.0.2\nhost=127.0.0.1\npidfile=/run/tev.pid\n",
         0,
         {{"updateaddr", "10.0.0.1  10.0.0.2"},
          {"host", "127.0.0.1"},
          {"pidfile", "/run/tev.pid"}}},
        {"last line without line end",
         "password=pw\ntevpath={TEV}\nport=1055",
         0,
         {{"port", "1055"}}},
        {"script names completed from the agent directory",
         std::string(kBase) + "cpuusagescript=cpu.sh\nproccntscript=/bin/cnt.sh\n",
         0,
         {{"cpuusagescript", "{DIR}/cpu.sh"}, {"proccntscript", "/bin/cnt.sh"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(cfg_, Expand(c.file));
        TTEVSettings s = Record();
        s.port = c.portBefore;
        String error("stale");
        EXPECT_EQ(LoadOptions_(s, error), 1) << Str(error);
        EXPECT_EQ(Str(error), "");
        for (const auto& e : c.expect) {
            SCOPED_TRACE(e.first);
            EXPECT_EQ(FieldText(s, e.first), Expand(e.second));
        }
    }
}

TEST_F(CfgFileTest, LoadReportsProblemsInOrder) {
    struct Case {
        const char* name;
        const char* file;  // null: no file at all
        bool noPath;       // cfgfile left empty
        int result;
        const char* error;
    };
    const Case cases[] = {
        {"no file named", "port=1\n", true, 0, "Configuration file is not specified"},
        {"file missing", nullptr, false, 0,
         "Cannot open configuration file '{CFG}'\nNo such file or directory"},
        {"port, password, relative path", "tevpath=bin/tev\n", false, 0,
         "  TCP post is not specified!\n  Password is not specified!\n"
         "  Full path to the agent is not specified!\n"},
        {"no tevpath", "port=1\npassword=p\n", false, 0,
         "  Full path to the agent is not specified!\n"},
        {"tevpath names no file", "port=1\npassword=p\ntevpath={TEV}-missing\n", false, 0,
         "  Invalid path to the agent!\n    tevpath={TEV}-missing: No such file or directory\n"},
        {"tevpath names a directory", "port=1\npassword=p\ntevpath={DIR}\n", false, 0,
         "  Invalid path to the agent!\n    tevpath={DIR}: not a regular file\n"},
        {"filter warning alone", "port=1\npassword=p\ntevpath={TEV}\nfiltermarks=11\n", false, 1,
         "FilterMarks has less items than FilterList"},
        {"filter warning before check messages", "tevpath={TEV}\nfiltermarks=11\n", false, 0,
         "FilterMarks has less items than FilterList  TCP post is not specified!\n"
         "  Password is not specified!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(cfg_.c_str());
        if (c.file) WriteFile(cfg_, Expand(c.file));
        TTEVSettings s = c.noPath ? TTEVSettings() : Record();
        String error("stale");
        EXPECT_EQ(LoadOptions_(s, error), c.result);
        EXPECT_EQ(Str(error), Expand(c.error));
    }
}

TEST_F(CfgFileTest, ReloadResetsDefaultsAndKeepsKeptFields) {
    WriteFile(cfg_, Expand(std::string(kBase) +
                           "host=10.1.1.1\ntimeout=900\nverboselogfile=v.log\ncomment=c\n"
                           "cpuusagescript=cpu.sh\nproclistscript=pl.sh\nproccntscript=pc.sh\n"
                           "tmpdir=" +
                           dir_ + "/\nunc=0\npidfile=/run/p\nexecuteaction=1\n"));
    TTEVSettings s = Record();
    String error;
    ASSERT_EQ(LoadOptions_(s, error), 1) << Str(error);
    EXPECT_EQ(Str(s.tmpdir), dir_);

    WriteFile(cfg_, Expand("password=pw2\ntevpath={TEV}\nport=2000\n"));
    ASSERT_EQ(LoadOptions_(s, error), 1) << Str(error);
    const Expectations expect = {
        {"port", "1055"},  // a reload never moves the port
        {"password", "pw2"},
        {"host", "10.1.1.1"},
        {"timeout", "900"},
        {"verboselogfile", "v.log"},
        {"cpuusagescript", "{DIR}/cpu.sh"},
        {"proclistscript", "{DIR}/pl.sh"},
        {"proccntscript", "{DIR}/pc.sh"},
        {"tmpdir", "{DIR}"},
        {"comment", ""},
        {"unc", "1"},
        {"pidfile", ""},
        {"executeaction", "0"},
    };
    for (const auto& e : expect) {
        SCOPED_TRACE(e.first);
        EXPECT_EQ(FieldText(s, e.first), Expand(e.second));
    }
}

// The saved keys the file lacks, in the order they are appended, for a
// record made by Record() with nothing else set.
const char* const kAllAppended =
    "host=\r\nport=0\r\ntimeout=0\r\ncomment=\r\npassword=\r\nfilteractive=0\r\n"
    "filtermarks=\r\nfilterlist=\r\nverboselogfile=\r\nlogsuccess=0\r\nlogfails=0\r\n"
    "oklogfile=\r\nbadlogfile=\r\nallowupdates=0\r\nallowmanage=0\r\nupdateaddr=\r\n"
    "manageaddr=\r\nunc=0\r\nfreespace=0\r\nfoldersize=0\r\ncountfiles=0\r\nfileexists=0\r\n"
    "filecrc=0\r\ncomparefiles=0\r\nprocess=0\r\ncpuusage=0\r\nscript=0\r\nexternal=0\r\n"
    "ping=0\r\ntcp=0\r\nudp=0\r\ntextlog=0\r\nshellscript=0\r\nexecuteaction=0\r\n"
    "tcpudpaction=0\r\nsyslogaction=0\r\n";

TEST_F(CfgFileTest, SaveRewritesInPlaceAndAppendsMissingKeys) {
    const std::string tail(kAllAppended);
    // Drops the line of key from the appended tail (the file carries it).
    auto without = [&tail](std::initializer_list<const char*> keys) {
        std::string t = tail;
        for (const char* k : keys) {
            const std::string start = std::string(k) + "=";
            const size_t p = t.compare(0, start.size(), start) == 0 ? 0 : t.find("\n" + start) + 1;
            t.erase(p, t.find("\r\n", p) + 2 - p);
        }
        return t;
    };
    struct Case {
        const char* name;
        std::string file;
        std::function<void(TTEVSettings&)> change;
        std::string expected;
    };
    const Case cases[] = {
        {"comments, unknown keys and flags kept in place", "# agent\nComment = old\nxyz=1\nunc=1\n",
         [](TTEVSettings& s) { s.comment = "new"; },
         "# agent\nComment = new\r\nxyz=1\nunc=0\n" + without({"comment", "unc"})},
        {"empty text over an old value", "comment=old\n", [](TTEVSettings&) {},
         "comment=\r\n" + without({"comment"})},
        {"flag keeps the rest of the old value",
         "logfails=yes\r\nunc=\nfoldersize=\r\nlogsuccess= 0 # off\n",
         [](TTEVSettings& s) {
             s.unc = 1;
             s.foldersize = 1;
             s.logsuccess = 1;
         },
         "logfails=0es\r\nunc=1\nfoldersize=1\r\nlogsuccess= 1 # off\n" +
             without({"logfails", "unc", "foldersize", "logsuccess"})},
        {"flag on a last line without line end", "unc=", [](TTEVSettings& s) { s.unc = 1; },
         "unc=1\r\n" + without({"unc"})},
        {"unsaved keys, blank-before-# lines and blank lines copied",
         "tevpath=/x/tev\ncpuusagescript=cpu.sh\ntmpdir=/nope\npidfile=p\ndelayforscripts=5\n"
         "  #port=1\n;port=2\n\n\r\nno equals\n",
         [](TTEVSettings& s) { s.delayforscripts = 7; },
         "tevpath=/x/tev\ncpuusagescript=cpu.sh\ntmpdir=/nope\npidfile=p\ndelayforscripts=5\n"
         "  #port=1\n;port=2\n\n\r\nno equals\n" +
             tail},
        {"every occurrence rewritten, key text kept",
         "PORT = 1\nport=2\n\ttimeout\t=\t 5\r\nhost=\t old host\n",
         [](TTEVSettings& s) {
             s.port = 1055;
             s.timeout = -1;
             s.host = "127.0.0.1";
         },
         "PORT = 1055\r\nport=1055\r\n\ttimeout\t=\t -1\r\nhost=\t 127.0.0.1\r\n" +
             without({"host", "port", "timeout"})},
        {"last line without line end gets CR LF", "xyz=1", [](TTEVSettings&) {},
         "xyz=1\r\n" + tail},
        {"address items joined by blanks", "filterlist = a\n",
         [](TTEVSettings& s) {
             s.filterlist = "10.0.0.1\r\n10.0.0.2";
             s.filtermarks = "11";
         },
         "filterlist = 10.0.0.1 10.0.0.2\r\n" +
             ReplaceAllOf(without({"filterlist"}), "filtermarks=\r\n", "filtermarks=11\r\n")},
        {"values never start a line of their own", "comment=\nfilterlist=\n",
         [](TTEVSettings& s) {
             s.comment = "x\ntevpath=/evil";
             s.filterlist = "1.2.3.4\ntevpath=/evil\r\n5.6.7.8";
         },
         "comment=x tevpath=/evil\r\nfilterlist=1.2.3.4 tevpath=/evil 5.6.7.8\r\n" +
             without({"comment", "filterlist"})},
        {"empty file gets every saved key", "", [](TTEVSettings&) {}, tail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(cfg_, c.file);
        TTEVSettings s = Record();
        c.change(s);
        String error("stale");
        EXPECT_EQ(SaveOptions_(s, error), 1) << Str(error);
        EXPECT_EQ(Str(error), "");
        EXPECT_EQ(ReadWholeFile(cfg_), c.expected);
        EXPECT_EQ(ReadWholeFile(cfg_ + ".Old"), c.file);
        EXPECT_FALSE(Exists(cfg_ + ".New"));
    }
}

TEST_F(CfgFileTest, SaveKeepsModeAndPreviousVersion) {
    for (mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0400)}) {
        SCOPED_TRACE(mode);
        WriteFile(cfg_, "port=1\n");
        WriteFile(cfg_ + ".Old", "older\n");
        ASSERT_EQ(chmod(cfg_.c_str(), mode), 0);
        TTEVSettings s = Record();
        s.port = 2;
        String error;
        ASSERT_EQ(SaveOptions_(s, error), 1) << Str(error);
        EXPECT_EQ(ModeOf(cfg_), mode);
        EXPECT_EQ(ReadWholeFile(cfg_ + ".Old"), "port=1\n");
        EXPECT_EQ(ModeOf(cfg_ + ".Old"), mode);
        // A second save moves the first saved version to .Old.
        const std::string first = ReadWholeFile(cfg_);
        s.port = 3;
        ASSERT_EQ(SaveOptions_(s, error), 1) << Str(error);
        EXPECT_EQ(ReadWholeFile(cfg_ + ".Old"), first);
        EXPECT_EQ(ReadWholeFile(cfg_).substr(0, 8), "port=3\r\n");
        EXPECT_EQ(ModeOf(cfg_), mode);
        EXPECT_FALSE(Exists(cfg_ + ".New"));
        chmod(cfg_.c_str(), 0600);
    }
}

TEST_F(CfgFileTest, SaveThroughASymbolicLinkWritesItsTargetAndKeepsTheLink) {
    const std::string realDir = dir_ + "/real";
    ASSERT_EQ(mkdir(realDir.c_str(), 0700), 0);
    const std::string target = realDir + "/tev.cfg";
    WriteFile(target, "port=1\ncomment=old\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink(target.c_str(), cfg_.c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(target.c_str(), &before), 0);

    TTEVSettings s = Record();
    s.port = 2;
    s.comment = "one\rtwo\nthree";  // no line break of any kind reaches the file
    String error;
    ASSERT_EQ(SaveOptions_(s, error), 1) << Str(error);

    struct stat link;
    ASSERT_EQ(lstat(cfg_.c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(ReadWholeFile(cfg_), ReadWholeFile(target));
    EXPECT_EQ(ReadWholeFile(target).substr(0, 8), "port=2\r\n");
    EXPECT_NE(ReadWholeFile(target).find("comment=one two three\r\n"), std::string::npos)
        << ReadWholeFile(target);
    struct stat after, old;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    ASSERT_EQ(lstat((target + ".Old").c_str(), &old), 0);
    EXPECT_TRUE(S_ISREG(old.st_mode));
    EXPECT_EQ(ReadWholeFile(target + ".Old"), "port=1\ncomment=old\n");
    EXPECT_FALSE(Exists(cfg_ + ".Old"));
    EXPECT_FALSE(Exists(target + ".New"));
}

TEST_F(CfgFileTest, SaveFailuresLeaveTheFileAlone) {
    struct Case {
        const char* name;
        const char* file;  // null: no file
        bool noPath;
        bool blockNew;  // a directory stands where the new file would go
        bool diskFull;  // writes beyond 1000 bytes fail, as on a full disk
        const char* error;
    };
    const Case cases[] = {
        {"no file named", "port=1\n", true, false, false, "Configuration file is not specified"},
        {"file missing", nullptr, false, false, false,
         "Cannot open configuration file '{CFG}'\nNo such file or directory"},
        {"new file cannot be made", "port=1\n", false, true, false,
         "Cannot create new configuration file '{CFG}.New'"},
        {"new file cannot be written", "port=1\n", false, false, true,
         "Cannot create new configuration file '{CFG}.New'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        std::filesystem::remove_all(cfg_ + ".New", ec);
        unlink(cfg_.c_str());
        if (c.file) WriteFile(cfg_, c.file);
        if (c.blockNew) {
            std::filesystem::create_directory(cfg_ + ".New");
            WriteFile(cfg_ + ".New/keep", "x");
        }
        TTEVSettings s = c.noPath ? TTEVSettings() : Record();
        s.port = 5;
        s.filtermarks = "1";  // also a filter warning, which the failure replaces
        s.comment = std::string(5000, 'c').c_str();
        String error;
        struct rlimit before;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
        void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
        if (c.diskFull) {
            struct rlimit small = before;
            small.rlim_cur = 1000;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        const int result = SaveOptions_(s, error);
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Str(error), Expand(c.error));
        if (c.file) {
            EXPECT_EQ(ReadWholeFile(cfg_), c.file);
        }
        EXPECT_FALSE(Exists(cfg_ + ".Old"));
        EXPECT_FALSE(std::filesystem::is_regular_file(cfg_ + ".New"));
    }
}

TEST_F(CfgFileTest, SaveReturnsFilterWarningOnSuccess) {
    WriteFile(cfg_, "");
    TTEVSettings s = Record();
    s.filtermarks = "11";
    s.filterlist = "10.0.0.1";
    String error;
    EXPECT_EQ(SaveOptions_(s, error), 1);
    EXPECT_EQ(Str(error), "FilterMarks has less items than FilterList");
}

// Long lines are neither cut nor split, on load or on save.
TEST_F(CfgFileTest, LongLinesSurviveSaveAndLoad) {
    std::string items;
    std::string marks;
    for (int i = 0; i < 400; i++) {
        items += (i ? " 10.0." : "10.0.") + std::to_string(i / 250) + "." + std::to_string(i % 250);
        marks += '1';
    }
    const std::string longComment(5000, 'c');
    WriteFile(cfg_, Expand(std::string(kBase) + "filterlist=" + items + "\ncomment=" + longComment +
                           "\nfiltermarks=" + marks + "\nxyz=" + std::string(3000, 'z') + "\n"));
    TTEVSettings s = Record();
    String error;
    ASSERT_EQ(LoadOptions_(s, error), 1) << Str(error);
    const std::string list = Str(s.filterlist);
    EXPECT_EQ(list, ReplaceAllOf(items, " ", "\r\n"));
    EXPECT_EQ(Str(s.comment), longComment);

    ASSERT_EQ(SaveOptions_(s, error), 1) << Str(error);
    const std::string saved = ReadWholeFile(cfg_);
    EXPECT_NE(saved.find("\nfilterlist=" + items + "\r\n"), std::string::npos);
    EXPECT_NE(saved.find("\nxyz=" + std::string(3000, 'z') + "\n"), std::string::npos);

    TTEVSettings again = Record();
    ASSERT_EQ(LoadOptions_(again, error), 1) << Str(error);
    EXPECT_EQ(Str(again.filterlist), list);
    EXPECT_EQ(Str(again.comment), longComment);
    EXPECT_EQ(Str(again.activefilter), "\r\n" + list + "\r\n");
}

TEST_F(CfgFileTest, StoreKeepsSettingsWhenReloadFails) {
    WriteFile(cfg_, Expand(std::string(kBase) + "comment=first\n"));
    TSettingsStore store;
    store.Update([this](TTEVSettings& s) { std::strcpy(s.cfgfile, cfg_.c_str()); });
    String error;
    ASSERT_EQ(store.LoadOptions(error), 1) << Str(error);

    struct Case {
        const char* name;
        const char* file;  // null: the file is gone
        const char* error;
    };
    const Case cases[] = {
        {"file gone", nullptr, "Cannot open configuration file '{CFG}'\nNo such file or directory"},
        {"check fails", "tevpath={TEV}\ncomment=second\n", "  Password is not specified!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(cfg_.c_str());
        if (c.file) WriteFile(cfg_, Expand(c.file));
        EXPECT_EQ(store.LoadOptions(error), 0);
        EXPECT_EQ(Str(error), Expand(c.error));
        std::shared_ptr<const TTEVSettings> now = store.Get();
        EXPECT_EQ(Str(now->password), "pw");
        EXPECT_EQ(Str(now->comment), "first");
        EXPECT_EQ(now->port, 1055);
    }

    // A good file loads again, and a change saved through the store reaches
    // the file and the published record together.
    WriteFile(cfg_, Expand(std::string(kBase) + "comment=third\n"));
    ASSERT_EQ(store.LoadOptions(error), 1) << Str(error);
    EXPECT_EQ(Str(store.Get()->comment), "third");
    ASSERT_EQ(store.UpdateAndSave([](TTEVSettings& s) { s.comment = "fourth"; }, error), 1)
        << Str(error);
    EXPECT_EQ(Str(store.Get()->comment), "fourth");
    EXPECT_NE(ReadWholeFile(cfg_).find("comment=fourth\r\n"), std::string::npos);
}

TEST(CfgFileLine, KeysAndValuePositions) {
    struct Case {
        const char* line;
        int result;
        const char* key;
        int valuePos;
        const char* value;
    };
    const Case cases[] = {
        {"Port = 1055\r\n", 1, "port", 7, "1055"},
        {" \tKey\t =\t x = y \t\r\n", 1, "key", 10, "x = y"},
        {"a=", 1, "a", 2, ""},
        {"a= \t\r\n", 1, "a", 4, ""},
        {"=v\n", 1, "", 1, "v"},
        {"#port=1\n", 0, "", 0, ""},
        {";port=1\n", 0, "", 0, ""},
        {"  #port=1\n", 1, "#port", 8, "1"},
        {"no equals\n", 0, "", 0, ""},
        {"", 0, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        String key;
        String value;
        int pos = -1;
        ASSERT_EQ(SplitCfgLine(String(c.line), key, pos, value), c.result);
        if (!c.result) continue;
        EXPECT_EQ(Str(key), c.key);
        EXPECT_EQ(pos, c.valuePos);
        EXPECT_EQ(Str(value), c.value);
    }
}

}  // namespace
