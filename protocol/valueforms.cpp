#include "protocol/valueforms.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const BoolConst[2] = {"0", "1"};

int tevDecodeInt(const char* s) {
    return s ? std::atoi(s) : 0;
}
long long tevDecodeInt64(const char* s) {
    return s ? std::atoll(s) : 0;
}
double tevDecodeReal(const char* s) {
    return s ? std::atof(s) : 0.0;
}
bool tevDecodeBool(const char* s) {
    return s && s[0] == '1' && s[1] == 0;
}

// The String forms make the bytes zero-terminated first; a zero byte inside
// the text therefore ends it, as it would for the C form.
int tevDecodeInt(String s) {
    s.SetZero();
    return tevDecodeInt(s.Data());
}
long long tevDecodeInt64(String s) {
    s.SetZero();
    return tevDecodeInt64(s.Data());
}
double tevDecodeReal(String s) {
    s.SetZero();
    return tevDecodeReal(s.Data());
}
bool tevDecodeBool(String s) {
    s.SetZero();
    return tevDecodeBool(s.Data());
}

namespace {

// The leading number of s as atoll reads it, into v; false when it does not
// fit 64 bits (atoll would answer with a clamped value).
bool LeadingNumber(const char* s, long long& v) {
    errno = 0;
    v = std::strtoll(s, nullptr, 10);
    return errno != ERANGE;
}

bool LeadingInt(const char* s, int& v) {
    long long wide = 0;
    if (!LeadingNumber(s, wide) || wide < INT_MIN || wide > INT_MAX) return false;
    v = int(wide);
    return true;
}

}  // namespace

int tevDecodeInt(const char* s, int* out) {
    int v = 0;
    if (!s || !isdecimalnum(s) || !LeadingInt(s, v)) return 0;
    *out = v;
    return 1;
}

int tevDecodeInt64(const char* s, long long* out) {
    long long v = 0;
    if (!s || !isdecimalnum(s) || !LeadingNumber(s, v)) return 0;
    *out = v;
    return 1;
}

int tevDecodeIntInRange(String s, int* out) {
    s.SetZero();
    int v = 0;
    if (s.Data() && !LeadingInt(s.Data(), v)) return 0;
    *out = v;
    return 1;
}

int tevDecodeInt(String s, int* out) {
    s.SetZero();
    return tevDecodeInt(s.Data(), out);
}

int tevDecodeInt64(String s, long long* out) {
    s.SetZero();
    return tevDecodeInt64(s.Data(), out);
}

static int TwoDigits(const char* p) {
    return (p[0] - '0') * 10 + (p[1] - '0');
}

struct tm tevDecodeTime(const char* s) {
    struct tm t;
    std::memset(&t, 0, sizeof t);
    if (!s || std::strlen(s) != 14) return t;
    t.tm_mday = TwoDigits(s);
    t.tm_mon = TwoDigits(s + 2) - 1;
    t.tm_year = TwoDigits(s + 4) * 100 + TwoDigits(s + 6) - 1900;
    t.tm_hour = TwoDigits(s + 8);
    t.tm_min = TwoDigits(s + 10);
    t.tm_sec = TwoDigits(s + 12);
    return t;
}

struct tm tevDecodeTime(String s) {
    s.SetZero();
    return tevDecodeTime(s.Data());
}

String tevEncodeStrings(const char* p, int n) {
    String r;
    if (!p) return r;
    if (n == 0) n = int(std::strlen(p));
    int start = 0;  // append runs of plain bytes in one piece
    for (int i = 0; i < n; i++) {
        if (p[i] != '\n' && p[i] != '\r') continue;
        r.AddData(p + start, i - start);
        r.AddData(p[i] == '\n' ? "%0A" : "%0D", 3);
        start = i + 1;
    }
    r.AddData(p + start, n - start);
    return r;
}

String tevEncodeStrings(const String& s) {
    if (s.Length() == 0) return String();
    return tevEncodeStrings(s.Data(), s.Length());
}

String tevDecodeStrings(const char* p, int n) {
    String r;
    if (!p) return r;
    if (n == 0) n = int(std::strlen(p));
    int start = 0;
    for (int i = 0; i + 2 < n;) {
        if (p[i] == '%' && p[i + 1] == '0' && (p[i + 2] == 'A' || p[i + 2] == 'D')) {
            r.AddData(p + start, i - start);
            r.AddChar(p[i + 2] == 'A' ? '\n' : '\r');
            i += 3;
            start = i;
        } else {
            i++;
        }
    }
    r.AddData(p + start, n - start);
    return r;
}

String tevDecodeStrings(const String& s) {
    if (s.Length() == 0) return String();
    return tevDecodeStrings(s.Data(), s.Length());
}

String tevFormatInt(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", v);
    return String(buf);
}

String tevFormatInt64(long long v) {
    char buf[35];
    std::snprintf(buf, sizeof buf, "%6lld", v);
    return String(buf);
}

String tevFormatReal(double v) {
    char buf[35];
    std::snprintf(buf, sizeof buf, "%6.4f", v);
    return String(buf);
}

String tevFormatTime(const struct tm& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return String(buf);
}
