#include "agent/catalogue.h"

#include <sstream>
#include <vector>

#include "core/nearest.h"

namespace {

std::vector<std::string> Words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::string PositionText(int position) {
    return position == 0 ? std::string("each") : std::to_string(position);
}

// The right as the catalogue shows it.
std::string RightText(const TCommandDef& c) {
    const std::vector<std::string> w = Words(c.right);
    if (w.empty()) return "none";
    if (c.access != caHandler) return w[0] + " = 1 and the client in " + w[1];
    std::string text;
    for (size_t i = 0; i < w.size(); i++) text += (i ? " or " : "") + w[i] + " = 1";
    return text;
}

// mdoc text line: a leading '.' or '\'' would be taken for a request, a
// backslash for an escape.
std::string RoffText(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\\')
            out += "\\e";
        else
            out += ch;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

// text, then blanks up to width.
std::string Pad(const std::string& text, size_t width) {
    return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
}

// text folded into lines of at most 78 characters, each after indent.
std::string Fold(const std::string& indent, const std::string& text) {
    std::string out, line;
    std::istringstream in(text);
    std::string w;
    while (in >> w) {
        if (!line.empty() && indent.size() + line.size() + 1 + w.size() > 78) {
            out += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + w;
    }
    if (!line.empty()) out += indent + line + "\n";
    return out;
}

// " [key, unit]" of a value line, " [key]" without a unit; "" when it has
// neither (name=value lines).
std::string ValueTags(const TValueDoc& v) {
    const std::string key = ValueKey(v);
    std::string tags = key;
    if (*v.unit) tags += (tags.empty() ? "" : ", ") + std::string(v.unit);
    return tags.empty() ? tags : " [" + tags + "]";
}

bool IsKeyChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9');
}

}  // namespace

std::string ValueKey(const TValueDoc& v) {
    const std::string form = v.form;
    if (form == "pairs") return std::string();
    if (form == "rest") return kRestKey;
    std::string text = v.meaning;
    text = text.substr(0, text.find_first_of("(:,"));
    if (text.compare(0, 4, "the ") == 0) text.erase(0, 4);
    std::string key;
    bool gap = false;
    for (char ch : text) {
        if (ch == '\'') continue;
        if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
        if (!IsKeyChar(ch)) {
            gap = true;
            continue;
        }
        if (gap && !key.empty()) key += '_';
        gap = false;
        key += ch;
    }
    return key;
}

std::string CatalogueEntry(const TCommandDef& c) {
    std::string s =
        std::string(c.name) + "\n" + Fold("  ", c.summary) + "  Right: " + RightText(c) + "\n";
    if (c.params.empty()) {
        s += "  Parameters: none\n";
    } else {
        s += "  Parameters (position, form, meaning):\n";
        for (const TParamDoc& p : c.params)
            s += "    " + Pad(PositionText(p.position), 6) + Pad(p.form, 9) + p.meaning + "\n";
    }
    if (!c.values.empty()) {
        s += "  Reply \"200\", value lines (position, form, meaning [JSON key, unit]):\n";
        for (size_t i = 0; i < c.values.size(); i++)
            s += "    " + Pad(std::to_string(i + 1), 6) + Pad(c.values[i].form, 9) +
                 c.values[i].meaning + ValueTags(c.values[i]) + "\n";
    }
    if (*c.notes) s += Fold("  ", c.notes);
    return s;
}

std::string CatalogueText() {
    std::string s =
        "Requests of the tev agent. Parameters are given by position; a position not listed\n"
        "is not read (give an empty parameter there). Forms: flag 1 or 0 (only 1 is true),\n"
        "int a decimal number, text free text (multi-line form: a line break written as\n"
        "%0D%0A), path and folder file names, mask a wildcard mask, host a name or address.\n"
        "Value lines of a reply follow the result code line.\n";
    for (const TCommandDef& c : CommandTable()) s += "\n" + CatalogueEntry(c);
    return s;
}

std::string CatalogueRoff() {
    std::string s =
        ".Sh REQUESTS\n"
        ".\\\" Generated from the agent's command table by: tevctl --list-roff\n"
        "The requests the agent knows, as\n"
        ".Ic tevctl --list\n"
        "prints them.\n"
        "Parameters are given by position; a position not listed is not read (give an\n"
        "empty parameter there).\n"
        "Forms:\n"
        ".Ar flag\n"
        "1 or 0 (only 1 is true),\n"
        ".Ar int\n"
        "a decimal number,\n"
        ".Ar text\n"
        "free text (in the multi-line form a line break is written as\n"
        ".Ql %0D%0A ) ,\n"
        ".Ar path\n"
        "and\n"
        ".Ar folder\n"
        "file names,\n"
        ".Ar mask\n"
        "a wildcard mask,\n"
        ".Ar host\n"
        "a name or address.\n"
        ".Bl -tag -width Ds\n";
    for (const TCommandDef& c : CommandTable()) {
        s += ".It Cm " + std::string(c.name) + "\n" + RoffText(c.summary) + "\n";
        s += ".br\nRight: " + RoffText(RightText(c)) + ".\n";
        if (!c.params.empty()) {
            s += ".Bl -tag -width 10n -compact\n";
            for (const TParamDoc& p : c.params)
                s += ".It " + PositionText(p.position) + " Ar " + p.form + "\n" +
                     RoffText(p.meaning) + "\n";
            s += ".El\n";
        }
        if (!c.values.empty()) {
            s += "Reply\n.Dq 200\nwith the value lines:\n.Bl -enum -compact\n";
            for (const TValueDoc& v : c.values)
                s += ".It\n" + RoffText(std::string(v.form) + ": " + v.meaning + ValueTags(v)) +
                     "\n";
            s += ".El\n";
        }
        if (*c.notes) s += ".br\n" + RoffText(c.notes) + "\n";
    }
    s += ".El\n";
    return s;
}

std::string CatalogueNames() {
    std::string s;
    for (const TCommandDef& c : CommandTable()) {
        s += c.name;
        int highest = 0;
        for (const TParamDoc& p : c.params) highest = std::max(highest, p.position);
        for (int k = 1; k <= highest; k++) {
            const char* form = "-";
            for (const TParamDoc& p : c.params)
                if (p.position == k) form = p.form;
            s += std::string(" ") + form;
        }
        s += "\n";
    }
    return s;
}

std::string RefusalHint(const TCommandDef& c) {
    const std::vector<std::string> w = Words(c.right);
    if (w.empty()) return std::string();
    if (c.access != caHandler)
        return "setting " + w[0] + " is 0, or " + w[1] + " does not list this client";
    if (w.size() == 1) return "setting " + w[0] + " is 0";
    std::string s = "settings ";
    for (size_t i = 0; i < w.size(); i++)
        s += (i == 0 ? "" : i + 1 == w.size() ? " and " : ", ") + w[i];
    return s + " are all 0";
}

const char* NearestCommand(const std::string& word) {
    std::vector<const char*> names;
    for (const TCommandDef& c : CommandTable()) names.push_back(c.name);
    return NearestName(word, names);
}
