#include "protocol/valueforms.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), s.Length()) : "";
}

TEST(ValueFormsTest, Decoders) {
    EXPECT_FALSE(tevDecodeBool(""));
    EXPECT_FALSE(tevDecodeBool("0"));
    EXPECT_FALSE(tevDecodeBool("01"));
    EXPECT_FALSE(tevDecodeBool("1 "));
    EXPECT_FALSE(tevDecodeBool("true"));
    EXPECT_TRUE(tevDecodeBool("1"));
    EXPECT_TRUE(tevDecodeBool(String("1")));
    EXPECT_EQ(tevDecodeInt("42abc"), 42);
    EXPECT_EQ(tevDecodeInt("x"), 0);
    EXPECT_EQ(tevDecodeInt64(String("12345678901")), 12345678901LL);
    EXPECT_DOUBLE_EQ(tevDecodeReal("2.5"), 2.5);

    int out = 7;
    EXPECT_EQ(tevDecodeInt("12a", &out), 0);
    EXPECT_EQ(out, 7);
    EXPECT_EQ(tevDecodeInt("", &out), 1);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(tevDecodeInt("1-2", &out), 1);
    EXPECT_EQ(out, 1);
    long long big = 0;
    EXPECT_EQ(tevDecodeInt64(String("-9000000000"), &big), 1);
    EXPECT_EQ(big, -9000000000LL);
}

// Numbers that do not fit are refused, not wrapped or clamped; *out is left
// alone then.
TEST(ValueFormsTest, NumbersThatDoNotFit) {
    struct Case {
        const char* text;
        int checked;    // tevDecodeInt (s, &out)
        int inRange;    // tevDecodeIntInRange
        int value;      // stored by both when accepted
        int checked64;  // tevDecodeInt64 (s, &out)
    } cases[] = {
        {"2147483647", 1, 1, 2147483647, 1},
        {"-2147483648", 1, 1, -2147483647 - 1, 1},
        {"2147483648", 0, 0, 0, 1},
        {"4295011297", 0, 0, 0, 1},
        {"-2147483649", 0, 0, 0, 1},
        {"9223372036854775807", 0, 0, 0, 1},
        {"9223372036854775808", 0, 0, 0, 0},
        {"-99999999999999999999", 0, 0, 0, 0},
        {" 12x", 0, 1, 12, 0},  // the unchecked reading: blanks, digits, the rest ignored
        {"x", 0, 1, 0, 0},
        {"4295011297x", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int out = -7, in = -7;
        long long wide = -7;
        EXPECT_EQ(tevDecodeInt(c.text, &out), c.checked);
        EXPECT_EQ(out, c.checked ? c.value : -7);
        EXPECT_EQ(tevDecodeIntInRange(String(c.text), &in), c.inRange);
        EXPECT_EQ(in, c.inRange ? c.value : -7);
        EXPECT_EQ(tevDecodeInt64(c.text, &wide), c.checked64);
    }
}

TEST(ValueFormsTest, Writers) {
    EXPECT_EQ(Str(tevFormatInt64(42)), "    42");
    EXPECT_EQ(Str(tevFormatInt64(1234567)), "1234567");
    EXPECT_EQ(Str(tevFormatReal(0)), "0.0000");
    EXPECT_EQ(Str(tevFormatReal(-1.5)), "-1.5000");
    EXPECT_EQ(Str(tevFormatReal(3.14159265)), "3.1416");
    EXPECT_EQ(Str(tevFormatInt(-5)), "-5");
    struct tm t = {};
    t.tm_mday = 5;
    t.tm_mon = 11;
    t.tm_year = 126;
    t.tm_hour = 7;
    t.tm_min = 45;
    EXPECT_EQ(Str(tevFormatTime(t)), "05122026074500");
}

TEST(ValueFormsTest, TimeRoundTripAndShortText) {
    struct tm t = tevDecodeTime("05122026074509");
    EXPECT_EQ(t.tm_mday, 5);
    EXPECT_EQ(t.tm_mon, 11);
    EXPECT_EQ(t.tm_year, 126);
    EXPECT_EQ(t.tm_hour, 7);
    EXPECT_EQ(t.tm_min, 45);
    EXPECT_EQ(t.tm_sec, 9);
    EXPECT_EQ(Str(tevFormatTime(t)), "05122026074509");
    struct tm zero = tevDecodeTime("0512202607450");
    EXPECT_EQ(zero.tm_mday + zero.tm_mon + zero.tm_year + zero.tm_sec, 0);
    zero = tevDecodeTime(static_cast<const char*>(nullptr));
    EXPECT_EQ(zero.tm_mday, 0);
}

TEST(ValueFormsTest, MultiLineForm) {
    struct Case {
        std::string plain, encoded;
    } roundTrips[] = {
        {"a\r\nb", "a%0D%0Ab"},
        {"\n", "%0A"},
        {"plain", "plain"},
        {"", ""},
        {std::string("x\0y", 3), std::string("x\0y", 3)},
    };
    for (const Case& c : roundTrips) {
        SCOPED_TRACE(c.encoded);
        String plain(c.plain.data(), int(c.plain.size()));
        EXPECT_EQ(Str(tevEncodeStrings(plain)), c.encoded);
        String encoded(c.encoded.data(), int(c.encoded.size()));
        EXPECT_EQ(Str(tevDecodeStrings(encoded)), c.plain);
    }
    // Sequences that are not ours stay as they are.
    for (const char* kept : {"50%0", "%0B", "%0a", "100%", "%%0"}) {
        SCOPED_TRACE(kept);
        EXPECT_EQ(Str(tevDecodeStrings(String(kept))), kept);
    }
    EXPECT_EQ(Str(tevDecodeStrings("%0A%0D", 0)), "\n\r");
    EXPECT_EQ(tevEncodeStrings(nullptr, 3).Length(), 0);
}

}  // namespace
