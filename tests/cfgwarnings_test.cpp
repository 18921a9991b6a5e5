// The configuration lines the loader passes over, as the start-up, the
// reload and `tev --check` report them.
#include <gtest/gtest.h>

#include <string>

#include "agent_harness.h"
#include "config/cfgfile.h"

namespace {

TEST(CfgWarnings, NamesFileLineAndNearestKey) {
    char tmpl[] = "/tmp/tev_cfgwarn_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/tev.cfg";
    ASSERT_FALSE(WriteFile(path,
                           "# comment\r\n"
                           "; comment too\n"
                           "\n"
                           "   \t\r\n"
                           "Port = 1055\r\n"
                           "udpp=0\n"
                           "password secret words\n"
                           "  #port=1\n"
                           "=novalue\n"
                           "frobnicate=1\n"
                           "TCPP=1")
                     .empty());
    TStrList warnings;
    EXPECT_EQ(FindIgnoredCfgLines(String(path.c_str()), warnings), 1);
    const std::string in = " in " + path + " line ";
    const std::string expected[] = {
        "unknown key 'udpp'" + in + "6 (did you mean 'udp'?)",
        // Only the first word of a line without '=': it may hold a password.
        "line without '='" + in + "7 (starts with 'password')",
        // A blank before '#' makes an ordinary line.
        "unknown key '#port'" + in + "8 (did you mean 'port'?)",
        "unknown key ''" + in + "9",
        "unknown key 'frobnicate'" + in + "10",
        "unknown key 'tcpp'" + in + "11 (did you mean 'tcp'?)",
    };
    ASSERT_EQ(warnings.Count(), int(sizeof expected / sizeof expected[0]));
    for (int i = 0; i < warnings.Count(); i++) {
        String w = warnings[i];
        EXPECT_EQ(std::string(w.Data(), size_t(w.Length())), expected[i]);
    }
    TStrList none;
    EXPECT_EQ(FindIgnoredCfgLines(String((std::string(tmpl) + "/absent").c_str()), none), 0);
    EXPECT_EQ(none.Count(), 0);
    unlink(path.c_str());
    rmdir(tmpl);
}

}  // namespace
