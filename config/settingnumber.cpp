#include "config/settingnumber.h"

#include <cstdio>
#include <cstring>

namespace {

struct TNumberRule {
    const char* key;
    long long fileMin;  // the file may also hold fileMin .. 0
    long long min;
    long long max;
    bool zeroIsUnset;  // 0 in the file means "none set": never taken remotely
};

const long long kIntMin = -2147483648LL;
const long long kIntMax = 2147483647LL;

const TNumberRule kRules[] = {
    {"port", 0, 1, 65535, true},
    {"timeout", kIntMin, 1, kIntMax, false},
    {"delayforscripts", 0, 0, kIntMax, false},
    {"transferidle", 0, 1000, 3600000, false},
};

const TNumberRule* FindRule(const char* key) {
    for (const TNumberRule& r : kRules)
        if (std::strcmp(r.key, key) == 0) return &r;
    return nullptr;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Reads text as an optional sign and decimal digits, blanks around it
// allowed, into n (saturated far beyond every range, so nothing wraps).
// False when it is anything else.
bool ReadWholeNumber(const String& text, long long& n) {
    int i = 1;
    int end = text.Length();
    while (i <= end && IsBlank(text[i])) i++;
    while (end >= i && IsBlank(text[end])) end--;
    n = 0;
    if (i > end) return true;  // empty: 0
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    if (i > end) return false;
    for (; i <= end; i++) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        if (n < 1000000000000LL) n = n * 10 + (c - '0');
    }
    if (negative) n = -n;
    return true;
}

String Refusal(const char* key, const String& text, const char* reason) {
    String error(key);
    error += '=';
    error += text;
    error += ": ";
    error += reason;
    return error;
}

}  // namespace

int CheckSettingNumber(const char* key, const String& text, TSettingSource source, int& value,
                       String& error, const char* name) {
    const char* shown = name ? name : key;
    const TNumberRule* rule = FindRule(key);
    if (!rule) {
        error = Refusal(shown, text, "not a numeric setting");
        return 0;
    }
    long long n = 0;
    if (!ReadWholeNumber(text, n)) {
        error = Refusal(shown, text, "not a whole number");
        return 0;
    }
    const bool fileForm = source != ssCommandLine && n >= rule->fileMin && n <= 0 &&
                          !(source == ssRemote && n == 0 && rule->zeroIsUnset);
    if (!fileForm && (n < rule->min || n > rule->max)) {
        char range[64];
        std::snprintf(range, sizeof range, "must be from %lld to %lld", rule->min, rule->max);
        error = Refusal(shown, text, range);
        return 0;
    }
    value = int(n);
    return 1;
}

int CheckSettingText(const char* key, const String& text, String& error, const char* name) {
    if (std::strcmp(key, "password") != 0 || text.Length() > 0) return 1;
    error = Refusal(name ? name : key, text, "must not be empty");
    return 0;
}
