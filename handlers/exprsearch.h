// Expression search: Boolean combinations of quoted search texts, such as
//   'error' and not ('warning' or 'disk full')
// matched against one line. An operator-precedence parser turns the
// expression into reverse Polish order; a stack of truth values evaluates it.
// No I/O. Every function is re-entrant; objects are not shared between
// threads.
//
// Grammar as the parser sees it: operators "(", "not", ")", "and", "or" are
// recognised wherever their lower-case text stands, even glued to a word
// ("nothing" reads as "not" then "hing"); words separated by blanks are also
// operators when they equal one after lower-casing ("AND"). Operands are
// texts in apostrophes or double quotes (no escapes; the other quote may
// occur inside) and bare decimal numbers. "and" and "or" bind equally and
// group left to right; "not" applies to everything up to the end of its
// parentheses or of the expression.
#pragma once

#include <vector>

#include "core/zostring.h"

// One operator: its text (lower case) and its two priorities.
struct TPriorityItem {
    String token;
    int inputPriority;  // when read from the input
    int stackPriority;  // while waiting on the operator stack
};

// The operator table of the search, in recognition order: "(", "not", ")",
// "and", "or".
extern const TPriorityItem PriorityTable1[5];

class TExprParser {
  public:
    // A parser over table, an array of tableBytes bytes in all.
    TExprParser(const TPriorityItem* table, int tableBytes);
    TExprParser(const TExprParser&) = delete;
    TExprParser& operator=(const TExprParser&) = delete;

    // Cuts the next token from the front of rest (rest is trimmed first) and
    // returns it: an operator of the table (byte-exact, first entry in table
    // order), a quoted text including both quote characters, or a word up to
    // the first blank or operator. Returns the empty token at the end, and on
    // an unterminated quote, which also sets the error message to
    // "Unterminated string: " followed by the trimmed rest.
    String GetToken(String& rest);
    // Index of the first table entry whose text stands at 1-based position
    // pos of s (byte-exact), or -1.
    int TokenInPos(const String& s, int pos) const;
    // Input / stack priority of the entry equal to token after lower-casing
    // it, or -1.
    int TokenInPriority(String token) const;
    int TokenSPriority(String token) const;
    // Converts expr (it is consumed: on return it holds what was not read)
    // to reverse Polish order in Output(). Returns 1 on success; 0 with
    // ErrorMessage() set to "Unterminated string: <rest>",
    // "Unknown operator: \"<token>\"" or "Missing \"(\"". With checkOnly
    // non-zero the output list is left alone. An unclosed "(" is not an
    // error here; it reaches the output as a token of its own.
    int Expr2Polish(String& expr, int checkOnly);

    const TStrList& Output() const { return output; }
    const String& ErrorMessage() const { return errorMessage; }

  private:
    // Token starting at byte at of p (bytes up to end are the trimmed text);
    // advances at. Sets the error message on an unterminated quote.
    String NextToken(const char* p, int end, int& at);
    int TokenAt(const char* p, int end, int at) const;

    const TPriorityItem* table;
    int count;
    TStrList output;
    String errorMessage;
};

// Fixed-capacity stack of truth values. Misuse (push on a full stack, pop,
// not, and, or without enough entries) sets the error flag instead of
// failing; popping an empty stack gives false.
class BoolStack {
  public:
    explicit BoolStack(int capacity);
    void Push(bool v);
    bool Pop();
    void Not();  // negates the top entry in place
    void And();  // pops two, pushes their conjunction
    void Or();   // pops two, pushes their disjunction
    int Count() const { return count; }
    bool Error() const { return error; }

  private:
    std::vector<unsigned char> values;
    int count = 0;
    bool error = false;
};

// The text an operand token stands for: what is between the quotes of a
// quoted text, the digits themselves for a bare number.
String ExprOperandText(const String& token);

// 1 when line satisfies expr, else 0. Operands are searched with
// String::Search (text, caseSensitive, wholeWord); a quoted operand stands
// for the text between its quotes, a bare number for its digits. A syntax
// error, a malformed expression (operators without enough operands, values
// left over, an unclosed "(") and the empty expression give 0.
int SearchForExpression(const String& line, const String& expr, int caseSensitive, int wholeWord);

// An expression converted once, for evaluating it against many lines.
// Operands are kept once each (equal texts share one slot).
class TExprProgram {
  public:
    // Converts expr. Returns 1 when it is syntactically valid; 0 otherwise
    // with error holding the parser's message. A valid but malformed
    // expression (see SearchForExpression) converts to "never true".
    int Compile(const String& expr, String& error);

    // Distinct operand texts (without quotes), in order of first use.
    const std::vector<String>& Operands() const { return operands; }
    // False when no line can satisfy the expression.
    bool CanMatch() const { return valid; }
    // The value for the given presence of each operand (present[i] for
    // Operands()[i]). Not for concurrent use of one object.
    bool Evaluate(const std::vector<char>& present);
    // Operands of which a line must hold at least one to be able to satisfy
    // the expression; empty when a line holding none of them can satisfy it
    // (for example "not 'x'").
    const std::vector<int>& Required() const { return required; }

    // 1 when line satisfies the program (same result as SearchForExpression).
    int Match(const String& line, int caseSensitive, int wholeWord);

  private:
    enum : int { kNot = -1, kAnd = -2, kOr = -3 };
    void FindRequired();
    bool FalseWhenAbsent(const std::vector<char>& freeMask);

    std::vector<int> code;  // operand index (>= 0) or an operator
    std::vector<String> operands;
    std::vector<int> required;
    std::vector<char> stack;
    bool valid = false;
};
