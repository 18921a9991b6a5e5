#include "handlers/exprsearch.h"

#include <cstring>
#include <map>
#include <string>

// Order matters where one text could be a prefix of another at the same
// place; "(" and "not" wait on the stack until ")" or the end takes them off.
const TPriorityItem PriorityTable1[5] = {
    {"(", 65535, 0}, {"not", 65535, 0}, {")", 1, 65520}, {"and", 1, 1}, {"or", 1, 1},
};

namespace {

// The bytes String::Trim removes: signed value <= 32.
bool IsTrimByte(char c) {
    return static_cast<signed char>(c) <= 32;
}

}  // namespace

// ---------------------------------------------------------------------------
// TExprParser

TExprParser::TExprParser(const TPriorityItem* tbl, int tableBytes)
    : table(tbl), count(tableBytes / int(sizeof(TPriorityItem))) {}

int TExprParser::TokenAt(const char* p, int end, int at) const {
    for (int k = 0; k < count; k++) {
        const int n = table[k].token.Length();
        if (n > 0 && at + n <= end && std::memcmp(p + at, table[k].token.Data(), size_t(n)) == 0)
            return k;
    }
    return -1;
}

int TExprParser::TokenInPos(const String& s, int pos) const {
    if (pos < 1 || pos > s.Length()) return -1;
    return TokenAt(s.Data(), s.Length(), pos - 1);
}

String TExprParser::NextToken(const char* p, int end, int& at) {
    while (at < end && IsTrimByte(p[at])) at++;
    if (at >= end) return String();
    const int op = TokenAt(p, end, at);
    if (op >= 0) {
        at += table[op].token.Length();
        return table[op].token;
    }
    const char first = p[at];
    if (first == '"' || first == '\'') {
        const void* close = std::memchr(p + at + 1, first, size_t(end - at - 1));
        if (!close) {
            errorMessage = "Unterminated string: ";
            errorMessage.AddData(p + at, end - at);
            return String();
        }
        const int n = int(static_cast<const char*>(close) - (p + at)) + 1;
        String token(p + at, n);
        at += n;
        return token;
    }
    int stop = at + 1;
    while (stop < end && p[stop] != ' ' && TokenAt(p, end, stop) < 0) stop++;
    String token(p + at, stop - at);
    at = stop;
    return token;
}

String TExprParser::GetToken(String& rest) {
    rest.Trim();
    int at = 0;
    String token = NextToken(rest.Data(), rest.Length(), at);
    if (token.Length()) rest.Delete(1, at);
    return token;
}

int TExprParser::TokenInPriority(String token) const {
    token.LowerCase();
    for (int k = 0; k < count; k++)
        if (table[k].token == token) return table[k].inputPriority;
    return -1;
}

int TExprParser::TokenSPriority(String token) const {
    token.LowerCase();
    for (int k = 0; k < count; k++)
        if (table[k].token == token) return table[k].stackPriority;
    return -1;
}

int TExprParser::Expr2Polish(String& expr, int checkOnly) {
    errorMessage = "";
    if (!checkOnly) output.Clear();
    TStrList stack;
    auto emit = [&](const String& t) {
        if (!checkOnly) output.Add(t);
    };
    auto popToOutput = [&]() {
        emit(stack[stack.Count() - 1]);
        stack.DeleteLast();
    };

    // The trailing trim of the rest never changes as tokens are cut from its
    // front, so the end is found once.
    const char* p = expr.Data();
    int end = expr.Length();
    while (end > 0 && IsTrimByte(p[end - 1])) end--;
    int at = 0;
    int ok = 1;
    for (;;) {
        String token = NextToken(p, end, at);
        if (errorMessage.Length()) {
            ok = 0;
            break;
        }
        if (!token.Length()) break;
        if (TokenInPriority(token) >= 0) {
            token.LowerCase();
            const int inPriority = TokenInPriority(token);
            while (stack.Count() && TokenSPriority(stack[stack.Count() - 1]) >= inPriority)
                popToOutput();
            if (token == ")") {
                while (stack.Count() && stack[stack.Count() - 1] != "(") popToOutput();
                if (!stack.Count()) {
                    errorMessage = "Missing \"(\"";
                    ok = 0;
                    break;
                }
                stack.DeleteLast();
            } else {
                stack.Add(token);
            }
        } else if (token[1] == '\'' || token[1] == '"' ||
                   isdecimalnum(token.Data(), token.Length())) {
            emit(token);
        } else {
            errorMessage = String("Unknown operator: \"") + token + "\"";
            ok = 0;
            break;
        }
    }
    if (ok)
        while (stack.Count()) popToOutput();
    // Leave in expr what was not read.
    if (at > 0) expr.Delete(1, at);
    return ok;
}

// ---------------------------------------------------------------------------
// BoolStack

BoolStack::BoolStack(int capacity) : values(size_t(capacity > 0 ? capacity : 0), 0) {}

void BoolStack::Push(bool v) {
    if (count >= int(values.size())) {
        error = true;
        return;
    }
    values[size_t(count++)] = v;
}

bool BoolStack::Pop() {
    if (count == 0) {
        error = true;
        return false;
    }
    return values[size_t(--count)] != 0;
}

void BoolStack::Not() {
    if (count == 0) {
        error = true;
        return;
    }
    values[size_t(count - 1)] = !values[size_t(count - 1)];
}

void BoolStack::And() {
    if (count < 2) {
        error = true;
        return;
    }
    const bool b = Pop();
    const bool a = Pop();
    Push(a && b);
}

void BoolStack::Or() {
    if (count < 2) {
        error = true;
        return;
    }
    const bool b = Pop();
    const bool a = Pop();
    Push(a || b);
}

// ---------------------------------------------------------------------------
// TExprProgram

int TExprProgram::Compile(const String& expr, String& error) {
    code.clear();
    operands.clear();
    required.clear();
    valid = false;
    TExprParser parser(PriorityTable1, int(sizeof(PriorityTable1)));
    String work(expr);
    if (!parser.Expr2Polish(work, 0)) {
        error = parser.ErrorMessage();
        return 0;
    }
    error = "";
    const TStrList& out = parser.Output();
    std::map<std::string, int> slots;
    int depth = 0;
    bool wellFormed = true;
    for (int i = 0; i < out.Count() && wellFormed; i++) {
        const String token = out[i];
        if (token == "not") {
            code.push_back(kNot);
            wellFormed = depth >= 1;
        } else if (token == "and" || token == "or") {
            code.push_back(token == "and" ? kAnd : kOr);
            wellFormed = depth >= 2;
            depth--;
        } else if (token == "(") {
            // Only an unclosed parenthesis gets here: the expression is
            // incomplete and never true.
            wellFormed = false;
        } else {
            const String text = ExprOperandText(token);
            const std::string key(text.Data() ? text.Data() : "", size_t(text.Length()));
            const auto known = slots.find(key);
            int slot = known != slots.end() ? known->second : -1;
            if (slot < 0) {
                slot = int(operands.size());
                operands.push_back(text);
                slots.emplace(key, slot);
            }
            code.push_back(slot);
            depth++;
        }
    }
    valid = wellFormed && depth == 1;
    if (!valid) {
        code.clear();
        operands.clear();
        return 1;
    }
    stack.assign(code.size() + 2, 0);
    FindRequired();
    return 1;
}

bool TExprProgram::Evaluate(const std::vector<char>& present) {
    if (!valid) return false;
    size_t n = 0;
    for (int op : code) {
        switch (op) {
            case kNot:
                stack[n - 1] = !stack[n - 1];
                break;
            case kAnd:
                n--;
                stack[n - 1] = stack[n - 1] && stack[n];
                break;
            case kOr:
                n--;
                stack[n - 1] = stack[n - 1] || stack[n];
                break;
            default:
                stack[n++] = present[size_t(op)] != 0;
        }
    }
    return stack[0] != 0;
}

bool TExprProgram::FalseWhenAbsent(const std::vector<char>& freeMask) {
    // Every assignment of the free operands, with the others absent, must
    // give false.
    std::vector<int> freeSlots;
    for (size_t k = 0; k < operands.size(); k++)
        if (freeMask[k]) freeSlots.push_back(int(k));
    std::vector<char> present(operands.size(), 0);
    const unsigned long combos = 1ul << freeSlots.size();
    for (unsigned long m = 0; m < combos; m++) {
        for (size_t j = 0; j < freeSlots.size(); j++)
            present[size_t(freeSlots[j])] = char((m >> j) & 1);
        if (Evaluate(present)) return false;
    }
    return true;
}

void TExprProgram::FindRequired() {
    required.clear();
    const std::vector<char> none(operands.size(), 0);
    if (Evaluate(none)) return;  // a line without any operand can match
    std::vector<int> set;
    for (size_t k = 0; k < operands.size(); k++) set.push_back(int(k));
    // Narrow the set by trying to drop each operand: an operand can go when
    // the expression stays false for every line lacking the rest of the set.
    // Exhaustive, so only for small expressions.
    const size_t kMaxNarrowed = 12;
    const size_t kMaxSteps = size_t(1) << 22;
    if (operands.size() <= kMaxNarrowed &&
        code.size() * operands.size() * (size_t(1) << operands.size()) <= kMaxSteps) {
        std::vector<char> freeMask(operands.size(), 0);
        for (size_t i = 0; i < set.size();) {
            freeMask.assign(operands.size(), 0);
            for (size_t j = 0; j < operands.size(); j++) freeMask[j] = 1;
            for (size_t j = 0; j < set.size(); j++)
                if (j != i) freeMask[size_t(set[j])] = 0;
            if (FalseWhenAbsent(freeMask))
                set.erase(set.begin() + long(i));
            else
                i++;
        }
    }
    required = set;
}

int TExprProgram::Match(const String& line, int caseSensitive, int wholeWord) {
    if (!valid) return 0;
    std::vector<char> present(operands.size(), 0);
    for (size_t k = 0; k < operands.size(); k++)
        present[k] = line.Search(operands[k], caseSensitive, wholeWord) != 0;
    return Evaluate(present) ? 1 : 0;
}

// ---------------------------------------------------------------------------

String ExprOperandText(const String& token) {
    if (token[1] == '\'' || token[1] == '"') return token.Copy(2, token.Length() - 2);
    return token;
}

int SearchForExpression(const String& line, const String& expr, int caseSensitive, int wholeWord) {
    TExprParser parser(PriorityTable1, int(sizeof(PriorityTable1)));
    String work(expr);
    if (!parser.Expr2Polish(work, 0)) return 0;
    const TStrList& out = parser.Output();
    BoolStack values(out.Count() + 2);
    for (int i = 0; i < out.Count(); i++) {
        const String token = out[i];
        if (token == "not") {
            values.Not();
        } else if (token == "or") {
            values.Or();
        } else if (token == "and") {
            values.And();
        } else if (token == "(") {
            return 0;  // unclosed: the expression is incomplete
        } else {
            values.Push(line.Search(ExprOperandText(token), caseSensitive, wholeWord) != 0);
        }
        if (values.Error()) return 0;
    }
    return values.Count() == 1 && values.Pop() ? 1 : 0;
}
