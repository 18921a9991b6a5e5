#include "core/zostring.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include <string>
#include "sanitizer_flags.h"

namespace {

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), s.Length()) : "";
}

TEST(StringTest, GrowthRuleKeepsMultiplesOf128PlusSpare) {
    String empty;
    EXPECT_EQ(empty.Data(), nullptr);
    EXPECT_EQ(empty.Capacity(), 0);
    empty.SetZero();
    EXPECT_EQ(empty.Capacity(), 256);  // prAllocMem(0 + 128)

    String s;
    s.AddData(std::string(127, 'x').c_str(), 127);
    EXPECT_EQ(s.Capacity(), 128);
    s.AddChar('y');
    EXPECT_EQ(s.Capacity(), 128);  // exactly full: no growth yet
    s.AddChar('z');
    EXPECT_EQ(s.Capacity(), 256);
    EXPECT_EQ(s.Length(), 129);

    // A large text appended piece by piece (a program's output drained from
    // a pipe) is moved to a new block a bounded number of times, not once per
    // piece, which copied it quadratically where realloc cannot grow in place.
    String big;
    const std::string piece(16384, 'p');
    int moves = 0;
    for (int i = 0; i < 1024; i++) {
        const int before = big.Capacity();
        big.AddData(piece.data(), int(piece.size()));
        if (big.Capacity() != before) moves++;
    }
    EXPECT_EQ(big.Length(), 16 * 1024 * 1024);
    EXPECT_LT(moves, 40);
    EXPECT_LE(big.Capacity(), big.Length() / 2 * 3 + 128);

    String fixed(4);
    EXPECT_TRUE(fixed.IsFixedSize());
    fixed += "abcdef";
    EXPECT_EQ(Str(fixed), "abcd");  // excess dropped silently
    fixed.AddChar('e');
    EXPECT_EQ(fixed.Length(), 4);
    String copy(fixed);
    EXPECT_FALSE(copy.IsFixedSize());
}

TEST(StringTest, HoldsAnyBytesAndCopiesDeeply) {
    String a("ab", 2);
    a.AddChar('\0');
    a += "cd";
    EXPECT_EQ(a.Length(), 5);
    String b(a);
    b[1] = 'X';
    EXPECT_EQ(a[1], 'a');
    EXPECT_TRUE(a == String(std::string("ab\0cd", 5).c_str(), 5));
    a += a;  // appending to itself survives the reallocation
    EXPECT_EQ(Str(a), std::string("ab\0cdab\0cd", 10));
    String moved(static_cast<String&&>(b));
    EXPECT_EQ(moved[1], 'X');
    EXPECT_EQ(b.Length(), 0);
}

TEST(StringTest, ComparisonsAndStrCpy) {
    EXPECT_TRUE(String() == "");
    EXPECT_TRUE(String() == static_cast<const char*>(nullptr));
    EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
    EXPECT_TRUE(String("abc") != "abd");
    char buf[4] = {'q', 'q', 'q', 'q'};
    String("abcdef").StrCpy(buf, 4);
    EXPECT_STREQ(buf, "abc");
    char untouched[2] = {'q', 0};
    String().StrCpy(untouched, 2);
    EXPECT_EQ(untouched[0], 'q');
}

TEST(StringTest, PositionsCopyAndDelete) {
    const String s("abcde");
    EXPECT_EQ(s.Pos('c'), 3);
    EXPECT_EQ(s.Pos('z'), 0);
    EXPECT_EQ(s.Pos("cd"), 3);
    EXPECT_EQ(s.Pos(""), 0);
    EXPECT_EQ(String().Pos("a"), 0);
    EXPECT_EQ(Str(s.Copy(3, 100)), "cde");
    EXPECT_EQ(Str(s.Copy(6, 1)), "");
    String d("abcde");
    d.Delete(2, 10);
    EXPECT_EQ(Str(d), "a");
    String e("abcde");
    e.Delete(0, 1);
    e.Delete(6, 1);
    e.Delete(2, 0);
    EXPECT_EQ(Str(e), "abcde");
}

TEST(StringTest, Trim) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"  x\t\r\n", "x"}, {"     ", ""},
        {"\xE9x\xFF", "x"},  // bytes >= 0x80 count as blanks here
        {"a b", "a b"},     {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        String s(c.in.data(), int(c.in.size()));
        EXPECT_EQ(Str(s.Trim()), c.out);
    }
}

TEST(StringTest, Search) {
    struct Case {
        const char* text;
        const char* what;
        int caseSensitive, wholeWord, pos;
    } cases[] = {
        {"concat Cat", "cat", 0, 1, 8}, {"concat Cat", "cat", 1, 1, 0},
        {"concat Cat", "cat", 1, 0, 4}, {"cat", "cat", 1, 1, 1},
        {"a-cat.", "CAT", 0, 1, 3},     {"cats cat", "cat", 1, 1, 6},
        {"abc", "", 1, 0, 0},           {"", "a", 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.what);
        EXPECT_EQ(String(c.text).Search(String(c.what), c.caseSensitive, c.wholeWord), c.pos);
    }
}

TEST(StringTest, GetWord) {
    struct Case {
        const char* text;
        int n;
        const char* out;
    } cases[] = {
        {"a,b,c", 3, "c"}, {"a,b,", 3, ""}, {"a,b", 3, ""},    {"a,b", 0, "a"},
        {"a,,c", 2, ""},   {",a", 1, ""},   {"abc", 1, "abc"}, {"", 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " #" + std::to_string(c.n));
        EXPECT_EQ(Str(String(c.text).GetWord(c.n, ',')), c.out);
    }
}

TEST(StringTest, RemoveRepeatsAndReplaceAll) {
    EXPECT_EQ(Str(String("a,,,b").RemoveRepeats(',')), "a,b");
    EXPECT_EQ(Str(String(",,,a").RemoveRepeats(',')), ",,a");
    EXPECT_EQ(Str(String("a,,").RemoveRepeats(',')), "a,");
    EXPECT_EQ(Str(String("a  b   c").RemoveRepeats(' ')), "a b c");

    EXPECT_EQ(Str(String("abcabc").ReplaceAll("abc", "x", 1)), "xx");
    EXPECT_EQ(Str(String("abc").ReplaceAll("abc", "x", 1)), "x");
    EXPECT_EQ(Str(String("sh %SCRIPT%").ReplaceAll("%script%", "run", 0)), "sh run");
    EXPECT_EQ(Str(String("sh %SCRIPT%").ReplaceAll("%script%", "run", 1)), "sh %SCRIPT%");
    EXPECT_EQ(Str(String("aaa").ReplaceAll("a", "aa", 1)), "aaaaaa");  // no rescanning
    EXPECT_EQ(Str(String("abc").ReplaceAll("", "x", 1)), "abc");
}

TEST(CharHelpersTest, DigitsAndSearch) {
    EXPECT_TRUE(isdecimalnum(""));
    EXPECT_TRUE(isdecimalnum("1-2"));
    EXPECT_FALSE(isdecimalnum("12a"));
    EXPECT_TRUE(isdecimalnum("12", 2));
    EXPECT_FALSE(isdecimalnum("-1", 2));
    EXPECT_TRUE(isdecimalnum("x", 0));
    EXPECT_EQ(mempos("hello", 5, "lo", 2), 4);
    EXPECT_EQ(mempos("hello", 5, "LO", 2), 0);
    EXPECT_EQ(memposi("hello", 5, "LO", 2), 4);
    EXPECT_EQ(mempos(nullptr, 5, "lo", 2), 0);
    EXPECT_EQ(mempos("hello", 5, "lo", 0), 0);
    char text[] = "MiXeD 1";
    EXPECT_STREQ(strlower(text), "mixed 1");
    EXPECT_STREQ(strupper(text, 3), "MIXed 1");
}

TEST(StrListTest, AddReadDelete) {
    TStrList list;
    for (int i = 0; i < 300; i++) list.Add(String(std::to_string(i).c_str()));
    list.Add(String());
    EXPECT_EQ(list.Count(), 301);
    EXPECT_EQ(Str(list[299]), "299");
    EXPECT_EQ(list[300].Length(), 0);
    list.Delete(0);
    EXPECT_EQ(Str(list[0]), "1");
    list.DeleteLast();
    EXPECT_EQ(list.Count(), 299);
    EXPECT_EQ(Str(list[298]), "299");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(StrListDeathTest, IndexOutsideTheListStopsNamingTheSource) {
    TStrList list;
    list.Add(String("a"));
    EXPECT_DEATH(list[1], "zostring:495");
    EXPECT_DEATH(list.Delete(-1), "zostring:471");
}

}  // namespace

// Sizes past the limit are refused before any arithmetic can overflow: the
// string stays as it was and the thread is marked.
TEST(StringAllocTest, SizesPastTheLimitAreRefusedNotWrapped) {
    const char tiny[4] = "xyz";
    struct Case {
        const char* name;
        void (*op)(String&, const char*);
    } cases[] = {
        {"append near INT_MAX", [](String& s, const char* p) { s.AddData(p, INT_MAX - 1); }},
        {"copy past the limit", [](String& s, const char* p) { s.CopyData(p, INT_MAX); }},
        {"length past the limit", [](String& s, const char*) { s.SetLength(INT_MAX); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearStringAllocFailure();
        String s("abc");
        c.op(s, tiny);
        EXPECT_TRUE(StringAllocFailed());
        EXPECT_TRUE(s == "abc");
        s += "d";  // still usable
        EXPECT_TRUE(s == "abcd");
    }
    ClearStringAllocFailure();
    EXPECT_FALSE(StringAllocFailed());
}

// A real allocation failure, forced by an address-space limit in a child:
// growth stops with the content intact and the mark set, and small
// strings work again once the big one is gone.
TEST(StringAllocTest, FailedAllocationKeepsTheOldBlock) {
#ifdef TEV_NO_RLIMIT_AS
    GTEST_SKIP() << "sanitizer runtimes reserve more address space than the limit allows";
#else
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit rl = {512L << 20, 512L << 20};
        if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(10);
        static char chunk[1 << 20];
        memset(chunk, 'a', sizeof chunk);
        {
            String big;
            int rounds = 0;
            while (!StringAllocFailed() && rounds++ < 4096) big.AddData(chunk, sizeof chunk);
            if (!StringAllocFailed()) _exit(11);
            if (big.Length() % int(sizeof chunk) != 0 || big[1] != 'a' || big[big.Length()] != 'a')
                _exit(12);
        }
        ClearStringAllocFailure();
        String small("after");
        small += " the failure";
        _exit(small == "after the failure" && !StringAllocFailed() ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}
