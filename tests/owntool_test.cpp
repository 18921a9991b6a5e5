// Recognising our own process tool by the mark in its file.
#include "platform/owntool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "agent_harness.h"
#include "runstate_util.h"

#ifndef TEV_PROC_TOOLDIR
#error "TEV_PROC_TOOLDIR must name the directory of the process tools"
#endif

namespace {

// A file of the given content and mode in dir; returns its path.
std::string Put(const runstate::TempDir& dir, const std::string& name, const std::string& content,
                mode_t mode) {
    const std::string path = dir.path + "/" + name;
    EXPECT_FALSE(WriteFile(path, content).empty());
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
}

TEST(OwnTool, KnowsTheToolByItsMarkOnly) {
    runstate::TempDir dir;
    const std::string mark = OwnToolMark();
    ASSERT_EQ(mark.rfind("tevproc-tools/", 0), 0u);
    std::string otherVersion = mark;
    otherVersion[14] = char(otherVersion[14] + 1);
    // The mark straddles the end of the first 16 KiB piece the file is read in.
    const std::string straddling = std::string(16384 - 5, 'x') + mark + "\n";
    struct Case {
        std::string path;
        bool own;
    } cases[] = {
        {TEV_PROC_TOOLDIR "/tevproc", true},
        {TEV_PROC_TOOLDIR "/proccnt", true},  // the link to it
        {TEV_BINARY, false},                  // the agent, which knows the mark
        {"/proc/self/exe", false},            // these tests, which know it too
        {Put(dir, "script", "#!/bin/sh\necho 1\n#" + mark + "\n", 0700), true},
        {Put(dir, "straddling", straddling, 0700), true},
        {Put(dir, "notrunnable", "#" + mark + "\n", 0600), false},
        {Put(dir, "otherversion", "#" + otherVersion + "\n", 0700), false},
        {Put(dir, "cut", "#" + mark.substr(0, mark.size() - 1) + "\n", 0700), false},
        {dir.path, false},
        {dir.path + "/missing", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(IsOwnProcTool(c.path.c_str()), c.own);
        EXPECT_EQ(IsOwnProcTool(c.path.c_str()), c.own);  // from what was kept
    }
}

TEST(OwnTool, LooksAgainWhenTheFileChanges) {
    runstate::TempDir dir;
    const std::string path = Put(dir, "proccnt", "#" + OwnToolMark() + "\n", 0700);
    EXPECT_TRUE(IsOwnProcTool(path.c_str()));
    Put(dir, "proccnt", "#!/bin/sh\necho 1\n", 0700);  // same file, new content
    EXPECT_FALSE(IsOwnProcTool(path.c_str()));
    Put(dir, "proccnt", "#" + OwnToolMark() + "\n", 0700);
    EXPECT_TRUE(IsOwnProcTool(path.c_str()));
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    EXPECT_FALSE(IsOwnProcTool(path.c_str()));
}

}  // namespace
