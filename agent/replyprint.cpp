#include "agent/replyprint.h"

#include <cstdio>

#include "agent/catalogue.h"
#include "protocol/valueforms.h"

namespace {

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

void WriteLine(const String& line) {
    if (line.Length() > 0) std::fwrite(line.Data(), 1, size_t(line.Length()), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

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
               const TStrList& values, bool decode) {
    WriteLine(code);
    for (int k = 0; k < values.Count(); k++)
        WriteLine(decode ? tevDecodeStrings(values[k]) : values[k]);
    std::fflush(stdout);
    // A refusal that names its own reason on a line after the text (an
    // upgrade whose program file cannot be replaced) needs no guess at the
    // settings.
    const bool reasoned = code == "600" && values.Count() > 1;
    const std::string hint = reasoned ? std::string() : ReplyHint(command, code);
    if (!hint.empty()) std::fprintf(stderr, "%s: %s\n", program, hint.c_str());
    return code == "200" ? 0 : 1;
}
