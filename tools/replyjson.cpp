#include "tools/replyjson.h"

#include <cstdio>
#include <set>
#include <vector>

#include "agent/catalogue.h"
#include "protocol/valueforms.h"

namespace {

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// Length of the valid UTF-8 sequence at s[i], 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    unsigned int min = 0;
    unsigned int cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// text without blanks (the 64-bit form pads on the left) when it is a number
// as JSON writes one: optional '-', digits without a leading zero (a lone
// zero aside), an optional fraction. Empty otherwise.
std::string JsonNumber(const std::string& value) {
    const size_t b = value.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    const std::string t = value.substr(b, value.find_last_not_of(' ') - b + 1);
    size_t i = t[0] == '-' ? 1 : 0;
    const size_t intStart = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') i++;
    const size_t intDigits = i - intStart;
    if (intDigits == 0 || (intDigits > 1 && t[intStart] == '0')) return std::string();
    if (i < t.size() && t[i] == '.') {
        const size_t fracStart = ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') i++;
        if (i == fracStart) return std::string();
    }
    return i == t.size() ? t : std::string();
}

bool IsNumberForm(const char* form) {
    const std::string f = form;
    return f == "int" || f == "real" || f == "flag";
}

// The pieces of the values object, in order.
struct TJsonValues {
    std::string members;            // "key":value,... without braces
    std::set<std::string> used;     // keys already written
    std::vector<std::string> more;  // JSON strings for "more"

    // Adds json under key; under "more" instead (as whole, the JSON of the
    // whole line) when key is empty, taken or "more" itself.
    void Add(const std::string& key, const std::string& json, const std::string& whole) {
        if (key.empty() || key == kRestKey || !used.insert(key).second) {
            more.push_back(whole);
            return;
        }
        members += (members.empty() ? "" : ",") + JsonString(key) + ":" + json;
    }
    std::string Object() const {
        std::string s = "{" + members;
        if (!more.empty()) {
            s += std::string(members.empty() ? "" : ",") + "\"" + kRestKey + "\":[";
            for (size_t i = 0; i < more.size(); i++) s += (i ? "," : "") + more[i];
            s += "]";
        }
        return s + "}";
    }
};

// Value line text decoded from the multi-line form, as a JSON string.
std::string DecodedString(const String& value) {
    return JsonString(ToStd(tevDecodeStrings(value)));
}

}  // namespace

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else if (const size_t n = c >= 0x80 ? Utf8Length(s, i) : 0) {
            out.append(s, i, n);
            i += n - 1;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string ReplyJsonObject(const std::string& host, const String& command, const String& code,
                            const TStrList& values) {
    const TCommandDef* c = code == "200" ? FindCommand(command) : nullptr;
    TJsonValues named;
    bool pairs = false;
    bool rest = false;
    for (int i = 0; i < values.Count(); i++) {
        const TValueDoc* doc =
            c && !pairs && !rest && size_t(i) < c->values.size() ? &c->values[size_t(i)] : nullptr;
        if (doc && std::string(doc->form) == "pairs") pairs = true;
        if (doc && std::string(doc->form) == "rest") rest = true;
        if (pairs) {
            const std::string line = ToStd(values[i]);
            const size_t eq = line.find('=');
            const std::string whole = DecodedString(values[i]);
            if (eq == std::string::npos)
                named.Add(std::string(), whole, whole);
            else
                named.Add(line.substr(0, eq),
                          DecodedString(values[i].Copy(int(eq) + 2, values[i].Length())), whole);
            continue;
        }
        const std::string whole = DecodedString(values[i]);
        if (!doc || rest) {
            named.Add(std::string(), whole, whole);
            continue;
        }
        const std::string number = IsNumberForm(doc->form) ? JsonNumber(ToStd(values[i])) : "";
        named.Add(ValueKey(*doc), number.empty() ? whole : number, whole);
    }
    return "{\"host\":" + JsonString(host) + ",\"request\":" + JsonString(ToStd(command)) +
           ",\"code\":" + JsonString(ToStd(code)) + ",\"values\":" + named.Object() + "}";
}

std::string NoReplyJsonObject(const std::string& host, const String& command,
                              const std::string& error) {
    return "{\"host\":" + JsonString(host) + ",\"request\":" + JsonString(ToStd(command)) +
           ",\"error\":" + JsonString(error) + "}";
}
