#include "core/tevassert.h"

#include <cstdio>
#include <cstdlib>

void TevAssertFail(const char* expr, const char* source, int line, const char* function) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", source, line, function, expr);
    std::fflush(stderr);
    std::abort();
}
