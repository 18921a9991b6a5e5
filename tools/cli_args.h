// Small helpers shared by the command-line tools (the client and the load
// generator).
#pragma once

#include <cerrno>
#include <cstdlib>

// A whole decimal text with a value in [lo, hi] into out. Returns false and
// leaves out alone for anything else (empty, trailing characters, range).
inline bool ParseDecimal(const char* s, long lo, long hi, long& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}
