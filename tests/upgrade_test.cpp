// The upgrade transfer fed chunk by chunk: how the trailer may arrive, when
// the slot is freed, and what it finds at the names of its files.
#include "agent/upgrade.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "agent/runstate.h"
#include "config/settings.h"
#include "protocol/clientpacket.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;
using runstate::Entries;

const char kKey[] = "0123456789abcdef";

int Mode(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

class UpgradeTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        tmp = dir.path + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
        upd = tmp + "/tev__.upd";
        script = tmp + "/tevupd__.sh";
        const std::string tmpdir = tmp;
        TEVSettings.Update([tmpdir](TTEVSettings& s) {
            s.tmpdir = String(tmpdir.c_str());
            s.tevpath = String("/opt/tev/tev");
        });
    }
    void TearDown() override {
        if (TEVFlags.HasUpgradeScript()) DropPendingUpgrade();
    }
    // Takes the slot and starts a transfer of file; feeds every piece and
    // returns the last result (an earlier failure ends the test).
    int Feed(UpgradeRec& rec, const std::vector<std::string>& pieces, String& error) {
        EXPECT_EQ(RequestUpgrade(rec, wire::S(kKey)), 1);
        rec.fileSize = (long long)file.size();
        if (!DoUpgrading(rec, nullptr, 0, error)) return 0;
        int rc = 1;
        for (size_t i = 0; i < pieces.size(); i++) {
            rc = DoUpgrading(rec, pieces[i].data(), int(pieces[i].size()), error);
            if (i + 1 < pieces.size()) {
                EXPECT_EQ(rc, 1) << "piece " << i << ": " << wire::Std(error);
                EXPECT_EQ(rec.active, 1);
            }
        }
        return rc;
    }
    bool SlotFree() {
        UpgradeRec other;
        if (!RequestUpgrade(other, wire::S(kKey))) return false;
        ReleaseUpgradeSlot(other);
        return true;
    }

    runstate::TempDir dir;
    std::string tmp, upd, script;
    const std::string file = std::string(150, 'a') + std::string(50, '\0');
    const std::string trailer = wire::Std(UpgradeTrailer(wire::S(file), wire::S(kKey)));
};

TEST_F(UpgradeTransfer, TrailerInAnyPiecesAndTheSlotHeldUntilTheScriptIsDropped) {
    const std::string t = trailer;
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        const char* error;  // null: the transfer completes
    } cases[] = {
        {"one chunk", {file + t}, nullptr},
        {"file and half the trailer, then the rest", {file + t.substr(0, 8), t.substr(8)}, nullptr},
        {"trailer alone, a byte at a time", {file.substr(0, 120), file.substr(120)}, nullptr},
        {"a byte too many in the last chunk", {file + t + "x"}, "Wrong CRC"},
        {"a byte too many over two chunks",
         {file + t.substr(0, 10), t.substr(10) + "x"},
         "Wrong CRC"},
        {"wrong digest", {file + std::string(16, 'x')}, "Wrong CRC"},
        {"a wrong digest in two pieces", {file + std::string(15, 'x'), "x"}, "Wrong CRC"},
    };
    for (size_t i = 0; i < 16; i++) cases[2].pieces.push_back(t.substr(i, 1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRec rec;
        String error;
        const int rc = Feed(rec, c.pieces, error);
        EXPECT_EQ(rec.active, 0);
        if (c.error) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(wire::Std(error), c.error);
            EXPECT_EQ(rec.handedOver, 0);
            EXPECT_TRUE(SlotFree());
            EXPECT_EQ(Entries(tmp), std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(rc, 1) << wire::Std(error);
        EXPECT_EQ(rec.handedOver, 1);
        EXPECT_TRUE(ReadWholeFile(upd) == file);
        EXPECT_EQ(Mode(upd), 0775);
        EXPECT_EQ(Mode(script), 0775);
        EXPECT_EQ(ReadWholeFile(script),
                  wire::Std(UpdateScriptText(String("/opt/tev/tev"), String(upd.c_str()),
                                             String(script.c_str()))));
        EXPECT_EQ(wire::Std(TEVFlags.GetUpgradeScript()), script);
        // Nothing may touch the files the script will install until the
        // main thread has run it, or dropped it after failing to.
        EXPECT_FALSE(SlotFree());
        AbandonUpgrade(rec);  // the session's end does not free it either
        EXPECT_FALSE(SlotFree());
        DropPendingUpgrade();
        EXPECT_FALSE(TEVFlags.HasUpgradeScript());
        EXPECT_TRUE(SlotFree());
        EXPECT_EQ(Entries(tmp), std::vector<std::string>{});
    }
}

TEST_F(UpgradeTransfer, WhatIsFoundAtTheFileNames) {
    const std::string target = WriteFile(dir.path + "/target", "precious\n");
    ASSERT_FALSE(target.empty());
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* error;              // null: the transfer completes
        std::vector<std::string> left;  // entries of tmp afterwards
    } cases[] = {
        {"link at the program file",
         [&] { symlink(target.c_str(), upd.c_str()); },
         "Cannot create temp file",
         {"tev__.upd"}},
        {"link at the script",
         [&] { symlink(target.c_str(), script.c_str()); },
         "Binary code transferred. Cannot create script file",
         {"tevupd__.sh"}},
        {"directory at the script",
         [&] { mkdir(script.c_str(), 0755); },
         "Binary code transferred. Cannot create script file",
         {"tevupd__.sh"}},
        {"stale files of ours",
         [&] {
             WriteFile(upd, "old attempt");
             WriteFile(script, "old attempt");
         },
         nullptr,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.plant();
        UpgradeRec rec;
        String error;
        const int rc = Feed(rec, {file + trailer}, error);
        EXPECT_EQ(ReadWholeFile(target), "precious\n");
        if (c.error) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(wire::Std(error), c.error);
            EXPECT_TRUE(SlotFree());
        } else {
            EXPECT_EQ(rc, 1) << wire::Std(error);
            EXPECT_TRUE(ReadWholeFile(upd) == file);
            DropPendingUpgrade();
        }
        // Only what was planted (and not ours to remove) is left.
        EXPECT_EQ(Entries(tmp), c.left);
        for (const std::string& name : Entries(tmp)) {
            const std::string path = tmp + "/" + name;
            if (rmdir(path.c_str()) != 0) {
                EXPECT_EQ(unlink(path.c_str()), 0);
            }
        }
    }
}

// The script the agent writes, with paths that need quoting, passes the
// shell's own syntax check and, where installed, shellcheck.
TEST(UpdateScript, PassesShAndShellcheck) {
    runstate::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/tevupd__.sh";
    const String text = UpdateScriptText(String("/opt/t e'v/tev"), String("/tmp/$x/tev__.upd"),
                                         String(path.c_str()));
    ASSERT_FALSE(WriteFile(path, wire::Std(text)).empty());
    EXPECT_EQ(wire::Std(text).substr(0, 10), "#!/bin/sh\n");
    EXPECT_NE(wire::Std(text).find("\noldTEV='/opt/t e'\\''v/tev'\n"), std::string::npos);
    EXPECT_NE(wire::Std(text).find("\nproof=" + std::to_string(UpgradeProofSeconds()) + "\n"),
              std::string::npos);
    struct Check {
        const char* program;
        std::vector<std::string> args;
    } checks[] = {
        {"/bin/sh", {"-n", path}},
        {"/usr/bin/shellcheck", {"-s", "sh", path}},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(c.program);
        if (access(c.program, X_OK) != 0) {
            std::printf("%s is not installed: not checked with it\n", c.program);
            continue;
        }
        const std::string out = dir.path + "/out.txt";
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const pid_t pid = agent_harness_detail::Spawn(c.program, c.args, fd, fd);
        close(fd);
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(agent_harness_detail::DecodeStatus(status), 0) << ReadWholeFile(out);
    }
}

// Whether the agent's user can replace a program file, judged before a
// transfer begins. Root passes over the permission bits, so the folder and
// file cases that need them run only for other users.
TEST(CanReplaceProgram, NamesTheReason) {
    runstate::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string bin = dir.path + "/bin";
    const std::string locked = dir.path + "/locked";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    ASSERT_FALSE(WriteFile(bin + "/tev", "x").empty());
    ASSERT_FALSE(WriteFile(bin + "/ro", "x").empty());
    ASSERT_FALSE(WriteFile(locked + "/tev", "x").empty());
    chmod((bin + "/ro").c_str(), 0555);
    chmod(locked.c_str(), 0555);
    const bool root = geteuid() == 0;
    const std::string who = "the agent's user (uid " + std::to_string(geteuid()) + ")";
    struct Case {
        std::string program;
        std::string reason;  // empty: replaceable
        bool needsBits;      // holds only where permission bits bind
    } cases[] = {
        {bin + "/tev", "", false},
        {"tev", "tevpath is not an absolute path (\"tev\")", false},
        {bin + "/missing", bin + "/missing cannot be found: No such file or directory", false},
        {locked + "/tev",
         "its folder " + locked + " is not writable by " + who + ": Permission denied", true},
        {bin + "/ro", bin + "/ro is not writable by " + who + ": Permission denied", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        if (c.needsBits && root) continue;
        String reason;
        EXPECT_EQ(CanReplaceProgram(String(c.program.c_str()), reason), c.reason.empty() ? 1 : 0);
        EXPECT_EQ(wire::Std(reason), c.reason);
    }
    chmod(locked.c_str(), 0755);
}

}  // namespace
