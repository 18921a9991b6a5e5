// Fast search of one text in a block of bytes, byte-exact or ignoring ASCII
// case (the case rule of String::Search). Built for scanning logs: two of the
// text's rarest bytes are compared at many positions at once, and only the
// places where both agree are compared in full. No I/O, no allocation while
// searching. A finder is immutable after Init and may be used from any number
// of threads.
#pragma once

#include <cstddef>

#include "core/zostring.h"

class TTextFinder {
  public:
    TTextFinder() = default;
    TTextFinder(const TTextFinder&) = default;
    TTextFinder& operator=(const TTextFinder&) = default;

    // Prepares the search for text; caseSensitive 0 compares bytes through
    // LoCase. An empty text is never found.
    void Init(const String& text, int caseSensitive);

    int Length() const { return needle.Length(); }
    // Start of the first occurrence lying wholly within [p, p + n), or null.
    const char* Find(const char* p, size_t n) const;
    // True when the Length() bytes at p equal the text under the case rule.
    bool Equal(const char* p) const;

  private:
    String needle;  // lower-cased when the case is ignored
    int caseSensitive = 1;
    int rare1 = 0, rare2 = 0;  // offsets of the two bytes compared first
    bool useWide = false;      // the processor has 32-byte vector compares
};
