#include "config/settings.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tevsetXXXXXX";
        const char* p = mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Restores TMPDIR and TMP as they were when it was made.
class EnvGuard {
  public:
    EnvGuard() : tmpdir_(Get("TMPDIR")), tmp_(Get("TMP")) {}
    ~EnvGuard() {
        Put("TMPDIR", tmpdir_);
        Put("TMP", tmp_);
    }
    // Sets name to value, or unsets it when value is null.
    static void Set(const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }

  private:
    struct Saved {
        bool set;
        std::string value;
    };
    static Saved Get(const char* name) {
        const char* v = getenv(name);
        return {v != nullptr, v ? v : ""};
    }
    static void Put(const char* name, const Saved& s) {
        Set(name, s.set ? s.value.c_str() : nullptr);
    }
    Saved tmpdir_;
    Saved tmp_;
};

TEST(SettingsPutRight, ActiveFilterFollowsMarks) {
    struct Case {
        const char* name;
        const char* list;
        const char* marks;
        const char* errorBefore;
        const char* activefilter;
        const char* error;
    };
    const char* const kLess = "FilterMarks has less items than FilterList";
    const Case cases[] = {
        {"first and third of three", "a\r\nb\r\nc", "101", "", "\r\na\r\nc\r\n", ""},
        {"two marks, one item", "a", "11", "", "\r\na\r\n", kLess},
        {"one mark, three items", "a\r\nb\r\nc", "1", "", "\r\na\r\n", ""},
        {"no marks", "a\r\nb", "", "", "\r\n", ""},
        {"empty list, no marks", "", "", "", "\r\n", ""},
        {"empty middle item stops the walk", "a\r\n\r\nc", "111", "", "\r\na\r\n", kLess},
        {"blank item counts as missing", "a\r\n  \r\nc", "101", "", "\r\na\r\n", kLess},
        {"items trimmed, other marks leave out", " a \r\n\tb ", "x1", "", "\r\nb\r\n", ""},
        {"bare LF separates items", "a\nb", "01", "", "\r\nb\r\n", ""},
        {"earlier text is never cleared", "a", "1", "earlier", "\r\na\r\n", "earlier"},
        {"problem replaces earlier text", "", "1", "earlier", "\r\n", kLess},
    };
    EnvGuard env;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTEVSettings s;
        s.filterlist = c.list;
        s.filtermarks = c.marks;
        s.activefilter = "stale";
        String error(c.errorBefore);
        s.PutRight(error);
        EXPECT_EQ(Str(s.activefilter), c.activefilter);
        EXPECT_EQ(Str(error), c.error);
    }
}

TEST(SettingsPutRight, ScriptPathsCompletedFromAgentDirectory) {
    struct Case {
        const char* tevpath;
        const char* script;
        const char* expected;
    };
    const Case cases[] = {
        {"/opt/agent/tev", "cpu.sh", "/opt/agent/cpu.sh"},
        {"/opt/agent/tev", "scripts/cpu.sh", "scripts/cpu.sh"},
        {"/opt/agent/tev", "/usr/lib/cpu.sh", "/usr/lib/cpu.sh"},
        {"/opt/agent/tev", "", ""},
        {"/tev", "cpu.sh", "/cpu.sh"},
        {"tev", "cpu.sh", "cpu.sh"},
        {"", "cpu.sh", "cpu.sh"},
    };
    EnvGuard env;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tevpath) + " + " + c.script);
        TTEVSettings s;
        s.tevpath = c.tevpath;
        s.cpuusagescript = c.script;
        s.proclistscript = c.script;
        s.proccntscript = c.script;
        String error;
        s.PutRight(error);
        EXPECT_EQ(Str(s.cpuusagescript), c.expected);
        EXPECT_EQ(Str(s.proclistscript), c.expected);
        EXPECT_EQ(Str(s.proccntscript), c.expected);
        // A second run must not prefix the directory again.
        s.PutRight(error);
        EXPECT_EQ(Str(s.cpuusagescript), c.expected);
    }
}

TEST(SettingsPutRight, TemporaryDirectorySettledEnvironmentUntouched) {
    TempDir dir;
    const std::string base = dir.path();
    ASSERT_FALSE(base.empty());
    std::filesystem::create_directory(base + "/a");
    std::filesystem::create_directory(base + "/b");
    std::ofstream(base + "/file") << "x";
    // "@" stands for the temporary base directory.
    struct Case {
        const char* name;
        const char* tmpdir;
        const char* envTmpdir;  // null: unset
        const char* envTmp;     // null: unset
        const char* expected;
    };
    const Case cases[] = {
        {"existing, trailing slash removed", "@/a/", nullptr, nullptr, "@/a"},
        {"existing wins over TMPDIR", "@/a", "@/b", nullptr, "@/a"},
        {"missing, TMPDIR unset, TMP exists", "@/missing", nullptr, "@/b", "@/b"},
        {"empty, TMPDIR with slash", "", "@/a/", "@/b", "@/a"},
        {"TMP only when TMPDIR is unset", "@/missing", "@/missing2", "@/b", "."},
        {"TMPDIR set but empty", "", "", "@/b", "."},
        {"nothing usable", "", nullptr, nullptr, "."},
        {"regular file is no directory", "@/file", nullptr, "@/file", "."},
        {"root keeps its slash", "/", nullptr, nullptr, "/"},
    };
    auto expand = [&base](const char* s) -> std::string {
        std::string r(s);
        if (!r.empty() && r[0] == '@') r = base + r.substr(1);
        return r;
    };
    EnvGuard env;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tmpdirEnv = c.envTmpdir ? expand(c.envTmpdir) : "";
        const std::string tmpEnv = c.envTmp ? expand(c.envTmp) : "";
        EnvGuard::Set("TMPDIR", c.envTmpdir ? tmpdirEnv.c_str() : nullptr);
        EnvGuard::Set("TMP", c.envTmp ? tmpEnv.c_str() : nullptr);
        TTEVSettings s;
        s.tmpdir = expand(c.tmpdir).c_str();
        String error;
        s.PutRight(error);
        EXPECT_EQ(Str(s.tmpdir), expand(c.expected));
        // The environment is left as it was: other threads read it.
        const char* now = getenv("TMPDIR");
        EXPECT_EQ(now ? std::string(now) : "(unset)", c.envTmpdir ? tmpdirEnv : "(unset)");
        EXPECT_EQ(error.Length(), 0);
    }
}

TEST(SettingsStore, SnapshotsAreImmutableAndUpdatesPublishWhole) {
    TSettingsStore store;
    std::shared_ptr<const TTEVSettings> before = store.Get();
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before->port, 0);
    EXPECT_EQ(before->cfgfile[0], 0);

    store.Update([](TTEVSettings& s) {
        s.comment = "changed";
        s.port = 2000;
        std::strcpy(s.cfgfile, "/x.cfg");
    });
    std::shared_ptr<const TTEVSettings> after = store.Get();
    // The snapshot taken before keeps its values.
    EXPECT_EQ(before->comment.Length(), 0);
    EXPECT_EQ(before->port, 0);
    EXPECT_EQ(Str(after->comment), "changed");
    EXPECT_EQ(after->port, 2000);
    EXPECT_STREQ(after->cfgfile, "/x.cfg");
    EXPECT_NE(before.get(), after.get());
}

TEST(SettingsStore, SaveWithoutFilePublishesDerivedValues) {
    EnvGuard env;
    struct Case {
        const char* name;
        const char* cfgfile;
        const char* error;
    };
    const Case cases[] = {
        {"no file named", "", "Configuration file is not specified"},
        {"file missing", "/nonexistent-dir/tev.cfg",
         "Cannot open configuration file '/nonexistent-dir/tev.cfg'\nNo such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSettingsStore store;
        String error;
        const int result = store.UpdateAndSave(
            [&c](TTEVSettings& s) {
                std::strcpy(s.cfgfile, c.cfgfile);
                s.filterlist = "10.0.0.1\r\n10.0.0.2";
                s.filtermarks = "01";
                s.tevpath = "/opt/agent/tev";
                s.cpuusagescript = "cpu.sh";
            },
            error);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Str(error), c.error);
        std::shared_ptr<const TTEVSettings> now = store.Get();
        EXPECT_EQ(Str(now->activefilter), "\r\n10.0.0.2\r\n");
        EXPECT_EQ(Str(now->cpuusagescript), "/opt/agent/cpu.sh");

        // The plain save publishes as well.
        store.Update([](TTEVSettings& s) { s.filtermarks = "1"; });
        EXPECT_EQ(store.SaveOptions(error), 0);
        EXPECT_EQ(Str(store.Get()->activefilter), "\r\n10.0.0.1\r\n");
    }
}

// Reloads, saves and updates run in some threads while others read every
// text of the snapshots. Writers always set comment and password to the same
// value and the file is only ever written from such a record, so a reader
// seeing them differ has seen a half-published record.
TEST(SettingsConcurrent, ReadersSeeWholeSnapshotsWhileWritersChangeThem) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    EnvGuard env;
    setenv("TMPDIR", dir.path().c_str(), 1);
    const std::string tev = dir.path() + "/tev";
    const std::string cfg = dir.path() + "/tev.cfg";
    std::ofstream(tev) << "x";
    std::ofstream(cfg) << "port=1055\npassword=v0\ncomment=v0\ntevpath=" << tev
                       << "\ntmpdir=" << dir.path() << "\nfilterlist=10.0.0.1 10.0.0.2\n"
                       << "filtermarks=11\ncpuusagescript=cpu.sh\n";

    TSettingsStore store;
    store.Update([&cfg](TTEVSettings& s) { std::strcpy(s.cfgfile, cfg.c_str()); });
    String error;
    ASSERT_EQ(store.LoadOptions(error), 1) << Str(error);

    std::atomic<bool> stop(false);
    std::atomic<long> mismatches(0);
    std::atomic<long> reads(0);
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; r++) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                std::shared_ptr<const TTEVSettings> s = store.Get();
                const String* texts[] = {&s->tmpdir,         &s->tevpath,      &s->pidfile,
                                         &s->host,           &s->password,     &s->comment,
                                         &s->verboselogfile, &s->oklogfile,    &s->badlogfile,
                                         &s->filterlist,     &s->updateaddr,   &s->filtermarks,
                                         &s->manageaddr,     &s->activefilter, &s->cpuusagescript,
                                         &s->proclistscript, &s->proccntscript};
                unsigned sum = 0;
                for (const String* t : texts)
                    for (int i = 1; i <= t->Length(); i++) sum += (unsigned char)(*t)[i];
                if (!(s->comment == s->password) || s->activefilter.Length() < 2 || sum == 0)
                    mismatches++;
                reads++;
            }
        });
    }
    auto writer = [&store](int id) {
        for (int i = 0; i < 60; i++) {
            String value((std::to_string(id) + "-" + std::to_string(i)).c_str());
            String err;
            switch ((id + i) % 4) {
                case 0:
                    store.Update([&value](TTEVSettings& s) {
                        s.comment = value;
                        s.password = value;
                    });
                    break;
                case 1:
                    store.LoadOptions(err);
                    break;
                case 2:
                    store.UpdateAndSave(
                        [&value](TTEVSettings& s) {
                            s.comment = value;
                            s.password = value;
                            s.filterlist = value + " 10.0.0.9";
                        },
                        err);
                    break;
                default:
                    store.SaveOptions(err);
                    break;
            }
        }
    };
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; w++) writers.emplace_back(writer, w);
    for (std::thread& t : writers) t.join();
    stop = true;
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(reads.load(), 0);
    String finalError;
    EXPECT_EQ(store.LoadOptions(finalError), 1) << Str(finalError);
    EXPECT_TRUE(store.Get()->comment == store.Get()->password);
}

// Reloads that move the temporary directory back and forth while other
// threads start programs: the agent's environment is never written (a
// setenv here raced with the spawns' copies of it), and each child sees
// the directory of the snapshot its start took as TMPDIR.
TEST(SettingsConcurrent, ReloadsWhileChildrenRunLeaveTheEnvironmentAlone) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string a = dir.path() + "/a", b = dir.path() + "/b";
    ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
    const std::string tev = dir.path() + "/tev";
    const std::string cfg = dir.path() + "/tev.cfg";
    std::ofstream(tev) << "x";
    auto writeCfg = [&](const std::string& tmp) {
        std::ofstream(cfg) << "port=1055\npassword=p\ntevpath=" << tev << "\ntmpdir=" << tmp
                           << "\n";
    };
    writeCfg(a);
    char** const environBefore = environ;
    const char* before = getenv("TMPDIR");
    const std::string tmpdirBefore = before ? before : "(unset)";

    TSettingsStore store;
    store.Update([&cfg](TTEVSettings& s) { std::strcpy(s.cfgfile, cfg.c_str()); });
    String error;
    ASSERT_EQ(store.LoadOptions(error), 1) << Str(error);

    std::atomic<bool> stop(false);
    std::thread reloader([&] {
        for (int i = 0; !stop.load(); i++) {
            writeCfg(i % 2 ? a : b);
            String err;
            store.LoadOptions(err);
        }
    });
    std::atomic<int> wrong(0), runs(0);
    std::vector<std::thread> starters;
    for (int t = 0; t < 2; t++) {
        starters.emplace_back([&, t] {
            const std::string out = dir.path() + "/out" + std::to_string(t);
            for (int i = 0; i < 15; i++) {
                const std::shared_ptr<const TTEVSettings> s = store.Get();
                const String tmp = ZeroTerminated(s->tmpdir);
                const int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                char sh[] = "/bin/sh", c[] = "-c", script[] = "printf %s \"$TMPDIR\"";
                char* argv[] = {sh, c, script, nullptr};
                TChildFds fds;
                fds.Out = fd;
                fds.TmpDir = tmp.Data();
                int code = -1;
                String err;
                const int rc = RunProgram(argv, nullptr, fds, 10000, code, err);
                close(fd);
                std::ifstream in(out);
                const std::string seen((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
                if (rc != 1 || code != 0 || seen != tmp.Data()) wrong++;
                runs++;
            }
        });
    }
    for (std::thread& t : starters) t.join();
    stop = true;
    reloader.join();

    EXPECT_EQ(runs.load(), 30);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(environ, environBefore);
    const char* after = getenv("TMPDIR");
    EXPECT_EQ(after ? std::string(after) : "(unset)", tmpdirBefore);
}

}  // namespace
