#include "config/settingnumber.h"

#include <cstdio>
#include <cstring>

namespace {

struct TNumberRule {
    const char* key;
    long long fileMin;  // the file may also hold fileMin .. 0
    long long min;
    long long max;
};

const long long kIntMin = -2147483648LL;
const long long kIntMax = 2147483647LL;

const TNumberRule kRules[] = {
    {"port", 0, 1, 65535},
    {"timeout", kIntMin, 1, kIntMax},
    {"delayforscripts", 0, 0, kIntMax},
    {"transferidle", 0, 1000, 3600000},
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

int CheckSettingNumber(const char* key, const String& text, bool inFile, int& value,
                       String& error) {
    const TNumberRule* rule = FindRule(key);
    if (!rule) {
        error = Refusal(key, text, "not a numeric setting");
        return 0;
    }
    long long n = 0;
    if (!ReadWholeNumber(text, n)) {
        error = Refusal(key, text, "not a whole number");
        return 0;
    }
    const bool fileForm = inFile && n >= rule->fileMin && n <= 0;
    if (!fileForm && (n < rule->min || n > rule->max)) {
        char range[64];
        std::snprintf(range, sizeof range, "must be from %lld to %lld", rule->min, rule->max);
        error = Refusal(key, text, range);
        return 0;
    }
    value = int(n);
    return 1;
}
