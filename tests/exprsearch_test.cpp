// Expression search: the parser's tokens, reverse Polish output and error
// texts, the truth-value stack, SearchForExpression on lines, and the
// converted program checked against SearchForExpression.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "handlers/exprsearch.h"

namespace {

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}

std::string Joined(const TStrList& list) {
    std::string out;
    for (int i = 0; i < list.Count(); i++) out += (i ? " " : "") + Std(list[i]);
    return out;
}

TEST(ExprParser, TokensAndPriorities) {
    TExprParser p(PriorityTable1, int(sizeof(PriorityTable1)));
    struct Case {
        const char* rest;
        const char* token;
        const char* left;
    } cases[] = {
        {"  nothing", "not", "hing"},  // operators are recognised glued to words
        {"order 'x'", "or", "der 'x'"},
        {"(a", "(", "a"},
        {"'a b' c", "'a b'", " c"},
        {"\"it's\" x", "\"it's\"", " x"},
        {"word(x", "w", "ord(x"},
        {"plus(x", "plus", "(x"},
        {"AND 'x'", "AND", " 'x'"},  // case-sensitive here; upper case is an operator later
        {"a\tb c", "a\tb", " c"},    // only the blank ends a word
        {"   ", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rest);
        String rest(c.rest);
        EXPECT_EQ(Std(p.GetToken(rest)), c.token);
        EXPECT_EQ(Std(rest), c.left);
        EXPECT_EQ(Std(p.ErrorMessage()), "");
    }
    String rest("  'abc  ");
    EXPECT_EQ(Std(p.GetToken(rest)), "");
    EXPECT_EQ(Std(p.ErrorMessage()), "Unterminated string: 'abc");

    EXPECT_EQ(p.TokenInPos(String("x(y"), 2), 0);
    EXPECT_EQ(p.TokenInPos(String("xnot"), 2), 1);
    EXPECT_EQ(p.TokenInPos(String("xNOT"), 2), -1);
    EXPECT_EQ(p.TokenInPos(String("x"), 5), -1);
    EXPECT_EQ(p.TokenInPriority(String("AND")), 1);
    EXPECT_EQ(p.TokenInPriority(String("Not")), 65535);
    EXPECT_EQ(p.TokenSPriority(String(")")), 65520);
    EXPECT_EQ(p.TokenSPriority(String("(")), 0);
    EXPECT_EQ(p.TokenInPriority(String("xor")), -1);
}

TEST(ExprParser, ReversePolishAndErrors) {
    struct Case {
        const char* expr;
        int ok;
        const char* out;  // output list, or the error text when ok is 0
    } cases[] = {
        {"'a' and 'b'", 1, "'a' 'b' and"},
        {"'a' or 'b' and 'c'", 1, "'a' 'b' or 'c' and"},  // equal priority, left to right
        {"not 'a' and 'b'", 1, "'a' 'b' and not"},        // not reaches to the end
        {"('a' or not 'b') and 'c'", 1, "'a' 'b' not or 'c' and"},
        {"'a' AND NOT 'b'", 1, "'a' 'b' not and"},
        {"'a'and'b'", 1, "'a' 'b' and"},
        {"404 or 'x'", 1, "404 'x' or"},
        {"\"it's\" or 'say \"hi\"'", 1, "\"it's\" 'say \"hi\"' or"},
        {"('a'", 1, "'a' ("},  // an unclosed "(" is no error here
        {"", 1, ""},
        {"'abc", 0, "Unterminated string: 'abc"},
        {"'a' and \"b  ", 0, "Unterminated string: \"b"},
        {"'a' plus 'b'", 0, "Unknown operator: \"plus\""},
        {"'a' xor 'b'", 0, "Unknown operator: \"x\""},
        {"nothing", 0, "Unknown operator: \"hing\""},
        {"'a' order 'b'", 0, "Unknown operator: \"der\""},
        {"'a'AND'b'", 0, "Unknown operator: \"AND'b'\""},
        {"-5", 0, "Unknown operator: \"-5\""},
        {"'a')", 0, "Missing \"(\""},
        {"('a')) or 'b'", 0, "Missing \"(\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expr);
        TExprParser p(PriorityTable1, int(sizeof(PriorityTable1)));
        String expr(c.expr);
        ASSERT_EQ(p.Expr2Polish(expr, 0), c.ok);
        EXPECT_EQ(c.ok ? Joined(p.Output()) : Std(p.ErrorMessage()), c.out);

        // A syntax check leaves the output list alone.
        TExprParser check(PriorityTable1, int(sizeof(PriorityTable1)));
        String again(c.expr);
        EXPECT_EQ(check.Expr2Polish(again, 1), c.ok);
        EXPECT_EQ(check.Output().Count(), 0);
    }
}

TEST(BoolStack, MisuseSetsTheErrorFlag) {
    BoolStack s(2);
    s.Push(true);
    s.Push(false);
    EXPECT_FALSE(s.Error());
    s.Push(true);  // full
    EXPECT_TRUE(s.Error());

    BoolStack t(4);
    t.Push(true);
    t.Push(false);
    t.Or();
    t.Not();
    EXPECT_EQ(t.Count(), 1);
    EXPECT_FALSE(t.Pop());
    EXPECT_FALSE(t.Error());
    EXPECT_FALSE(t.Pop());  // empty
    EXPECT_TRUE(t.Error());

    BoolStack u(4);
    u.Push(true);
    u.And();
    EXPECT_TRUE(u.Error());
    BoolStack v(4);
    v.Not();
    EXPECT_TRUE(v.Error());
}

TEST(SearchForExpression, Lines) {
    struct Case {
        const char* line;
        const char* expr;
        int caseSensitive, wholeWord;
        int want;
    } cases[] = {
        {"the disk full now", "'disk full'", 1, 0, 1},
        {"diskfull", "'disk full'", 1, 1, 0},
        {"disk fuller", "'disk full'", 1, 1, 0},
        {"(disk full)", "'disk full'", 1, 1, 1},
        {"concat Cat", "'cat'", 0, 1, 1},
        {"concat Cat", "'cat'", 1, 1, 0},
        {"ERROR here", "'error'", 1, 0, 0},
        {"ERROR here", "'error'", 0, 0, 1},
        {"b c", "'a' or 'b' and 'c'", 1, 0, 1},
        {"a", "'a' or 'b' and 'c'", 1, 0, 0},
        {"y", "not 'x' and 'y'", 1, 0, 1},
        {"x y", "not 'x' and 'y'", 1, 0, 0},
        {"x", "not 'x' and 'y'", 1, 0, 1},
        {"c", "('a' or not 'b') and 'c'", 1, 0, 1},
        {"b c", "('a' or not 'b') and 'c'", 1, 0, 0},
        {"a c", "'a' and not 'b' or 'c'", 1, 0, 0},
        {"a", "'a' and not 'b' or 'c'", 1, 0, 1},
        {"a b", "'a' AND 'b'", 1, 0, 1},
        {"a", "'a' AND 'b'", 1, 0, 0},
        {"b", "'a' Or 'b'", 1, 0, 1},
        {"b", "'a'or'b'", 1, 0, 1},
        {"a b", "'a'\tand\t'b'", 1, 0, 1},
        {"it's here", "\"it's\"", 1, 0, 1},
        {"say \"hi\"", "'\"hi\"'", 1, 0, 1},
        {"GET /x 404 12", "404", 1, 0, 1},  // a number stands for its digits
        {"GET /x 200 0", "404", 1, 0, 0},
        {"code 4041", "404", 1, 1, 0},
        {"a", "a", 1, 0, 0},  // unknown operator
        {"a", "('a'", 1, 0, 0},
        {"a", "'a')", 1, 0, 0},
        {"a", "not (", 1, 0, 0},  // an unclosed "(" makes the expression false
        {"a", "'a' or (", 1, 0, 0},
        {"a", "'a' and", 1, 0, 0},    // too few operands
        {"a b", "'a' 'b'", 1, 0, 0},  // two values left
        {"a", "", 1, 0, 0},
        {"", "not 'x'", 1, 0, 1},
        {"anything", "''", 1, 0, 0},  // the empty text is never found
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " | " + c.expr);
        EXPECT_EQ(SearchForExpression(String(c.line), String(c.expr), c.caseSensitive, c.wholeWord),
                  c.want);
        TExprProgram program;
        String error;
        program.Compile(String(c.expr), error);
        EXPECT_EQ(program.Match(String(c.line), c.caseSensitive, c.wholeWord), c.want);
    }
}

// Random expressions, well-formed or not, over a few short operands.
std::string RandomExpr(std::mt19937& rng) {
    static const char* const kPieces[] = {"'a'", "'b'", "\"ab\"", "'c'", "12", "and", "or",
                                          "not", "AND", "(",      ")",   "'a", "x",   "("};
    std::string out;
    const int n = int(rng() % 9);
    for (int i = 0; i < n; i++) {
        // Mostly a sensible shape: operand, operator, operand.
        const size_t pick = rng() % 4 == 0 ? rng() % 14 : (i % 2 ? 5 + rng() % 3 : rng() % 5);
        out += kPieces[pick];
        out += rng() % 5 ? " " : "";
    }
    return out;
}

TEST(ExprProgram, AgreesWithSearchForExpressionAndPrefilterIsSafe) {
    std::mt19937 rng(7);
    const char* const lines[] = {"", "a", "b", "ab", "a b c", "A", "12", "x 12 c", "c b"};
    for (int round = 0; round < 3000; round++) {
        const std::string expr = RandomExpr(rng);
        SCOPED_TRACE(expr);
        TExprProgram program;
        String error;
        program.Compile(String(expr.c_str()), error);
        for (const char* line : lines) {
            for (int cs = 0; cs < 2; cs++) {
                ASSERT_EQ(program.Match(String(line), cs, 0),
                          SearchForExpression(String(line), String(expr.c_str()), cs, 0))
                    << line;
            }
        }
        // A line lacking every required operand never matches.
        if (!program.CanMatch() || program.Required().empty()) continue;
        const size_t n = program.Operands().size();
        for (unsigned m = 0; m < (1u << n); m++) {
            std::vector<char> present(n, 0);
            bool holdsRequired = false;
            for (size_t k = 0; k < n; k++) present[k] = char((m >> k) & 1);
            for (int k : program.Required()) holdsRequired |= present[size_t(k)] != 0;
            if (!holdsRequired) {
                ASSERT_FALSE(program.Evaluate(present)) << m;
            }
        }
    }
}

TEST(ExprProgram, RequiredOperands) {
    struct Case {
        const char* expr;
        const char* required;  // operand texts, blank-separated
    } cases[] = {
        {"'x' and not 'y'", "x"},
        {"'x' or 'y'", "x y"},
        {"not 'x'", ""},
        {"'x' and 'y'", "y"},  // either one is enough to rule a line out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expr);
        TExprProgram program;
        String error;
        ASSERT_EQ(program.Compile(String(c.expr), error), 1);
        std::string got;
        for (int k : program.Required())
            got += (got.empty() ? "" : " ") + Std(program.Operands()[size_t(k)]);
        EXPECT_EQ(got, c.required);
    }
}

}  // namespace
