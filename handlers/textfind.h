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

    // The ways Find can scan a block: byte by byte (memchr on the rarest
    // byte when the case counts), 16 positions a step with SSE2, or 32 with
    // AVX2. Init picks the widest the build and the processor offer.
    enum TPath { pathScalar, pathSse2, pathAvx2 };

    // True when path can run here: scalar always; SSE2 on every x86-64
    // build; AVX2 when the processor has it as well.
    static bool PathAvailable(TPath path);

    // Makes Find scan with path (after Init, which resets the choice), so
    // that tests can compare the paths on one machine. Returns false and
    // changes nothing when the path is not available.
    bool ForcePath(TPath p);

    int Length() const { return needle.Length(); }
    // Start of the first occurrence lying wholly within [p, p + n), or null.
    const char* Find(const char* p, size_t n) const;
    // True when the Length() bytes at p equal the text under the case rule.
    bool Equal(const char* p) const;

  private:
    String needle;  // lower-cased when the case is ignored
    int caseSensitive = 1;
    int rare1 = 0, rare2 = 0;  // offsets of the two bytes compared first
    TPath path = pathScalar;   // how Find scans

    const char* FindScalar(const char* p, size_t n, size_t from) const;
};
