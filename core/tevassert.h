// Assertions for programming errors. They name a fixed source and line so
// that the message an operator reports is the same on every build.
#pragma once

// Prints "<source>:<line>: <function>: Assertion `<expr>' failed." to
// standard error and aborts. Never returns.
[[noreturn]] void TevAssertFail(const char* expr, const char* source, int line,
                                const char* function);

#define TEV_ASSERT(cond, expr_text, source, line, function)            \
    do {                                                               \
        if (!(cond)) TevAssertFail(expr_text, source, line, function); \
    } while (0)
