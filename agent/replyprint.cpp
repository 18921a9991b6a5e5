#include "agent/replyprint.h"

#include <cstdio>

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
        } else if (c >= 0x20 && c < 0x80) {
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

void WriteLine(const String& line) {
    if (line.Length() > 0) std::fwrite(line.Data(), 1, size_t(line.Length()), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

std::string ReplyJson(const String& code, const TStrList& values) {
    std::string s = "{\"code\":" + JsonString(ToStd(code)) + ",\"values\":[";
    for (int i = 0; i < values.Count(); i++)
        s += (i ? "," : "") + JsonString(ToStd(tevDecodeStrings(values[i])));
    return s + "]}";
}

std::string ReplyHint(const String& command, const String& code) {
    const TCommandDef* c = FindCommand(command);
    if (code == "600" && c) {
        const std::string why = RefusalHint(*c);
        return why.empty() ? why : "(" + why + ")";
    }
    if (code == "500" && !c) {
        const char* near = NearestCommand(ToStd(command));
        if (near) return std::string("(did you mean '") + near + "'?)";
    }
    return std::string();
}

int PrintReply(const char* program, const String& command, const String& code,
               const TStrList& values, bool decode, bool json) {
    if (json) {
        std::printf("%s\n", ReplyJson(code, values).c_str());
    } else {
        WriteLine(code);
        for (int k = 0; k < values.Count(); k++)
            WriteLine(decode ? tevDecodeStrings(values[k]) : values[k]);
    }
    std::fflush(stdout);
    // A refusal that names its own reason on a line after the text (an
    // upgrade whose program file cannot be replaced) needs no guess at the
    // settings.
    const bool reasoned = code == "600" && values.Count() > 1;
    const std::string hint = reasoned ? std::string() : ReplyHint(command, code);
    if (!hint.empty()) std::fprintf(stderr, "%s: %s\n", program, hint.c_str());
    return code == "200" ? 0 : 1;
}
