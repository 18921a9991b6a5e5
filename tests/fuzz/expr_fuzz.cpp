// Fuzz target: search expressions and the line they are tested on. The input
// is the expression, a zero byte, then the line. Checks that the parser ends,
// that the converted form gives the same result as SearchForExpression, and
// that the block text search agrees with the plain byte search.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "handlers/exprsearch.h"
#include "handlers/textfind.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(bytes, 0, size);
    const size_t exprLen = zero ? size_t(static_cast<const char*>(zero) - bytes) : size;
    const String expr(bytes, int(exprLen));
    const String line(zero ? bytes + exprLen + 1 : "", zero ? int(size - exprLen - 1) : 0);

    // Token by token: every call shortens the rest or ends.
    TExprParser parser(PriorityTable1, int(sizeof(PriorityTable1)));
    String rest(expr);
    for (;;) {
        const int before = rest.Length();
        const String token = parser.GetToken(rest);
        if (!token.Length()) break;
        if (rest.Length() >= before) std::abort();
    }
    String check(expr);
    parser.Expr2Polish(check, 1);

    TExprProgram program;
    String error;
    program.Compile(expr, error);
    for (int flags = 0; flags < 4; flags++) {
        const int cs = flags & 1, ww = flags >> 1;
        if (program.Match(line, cs, ww) != SearchForExpression(line, expr, cs, ww)) std::abort();
    }

    // The expression's first bytes as a text to find in the line.
    for (int cs = 0; cs < 2; cs++) {
        TTextFinder finder;
        const String needle(expr.Data(), expr.Length() < 8 ? expr.Length() : 8);
        finder.Init(needle, cs);
        const char* hit = finder.Find(line.Data(), size_t(line.Length()));
        const int got = hit ? int(hit - line.Data()) + 1 : 0;
        const int want = cs ? mempos(line.Data(), line.Length(), needle.Data(), needle.Length())
                            : memposi(line.Data(), line.Length(), needle.Data(), needle.Length());
        if (got != want) std::abort();
    }
    return 0;
}
