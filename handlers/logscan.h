// Scanning a growing text log for new lines that satisfy a search, with the
// watch state (position, lastSize, lastAge) kept by the monitoring server.
//
// Lines: every byte other than CR and LF belongs to the current line; CR or
// LF ends a non-empty line, and a terminator met while the line is still
// empty (an empty line, the LF of CR LF) is only counted for the next one.
// The position moves past a line only when the line is complete, so a last
// line still being written is read again by the next scan.
//
// The scan searches whole blocks (1 MiB, read with pread at 64-bit offsets)
// for the texts a matching line must hold and tests only the lines around
// those places. Memory stays bounded whatever the line lengths: a line longer
// than the block is tested as it streams by, keeping its first 1024 bytes for
// the reply. Nothing here locks; every function may run in any thread.
#pragma once

#include <memory>
#include <vector>

#include "core/zostring.h"
#include "handlers/exprsearch.h"
#include "handlers/textfind.h"

// The length to which a matching line is cut in the reply.
const int kReportedLineMax = 1024;

// One search of the log.
struct TTextLogFilter {
    String expression;  // search text, or expression when isExpression is 1
    int isExpression = 0;
    int caseSensitive = 0;
    int wholeWord = 0;
};

// One or two filters prepared once for any number of scans: expressions are
// converted, texts prepared for the block search. Immutable after Init except
// for scratch space: one object serves one scan at a time.
class TLineMatcher {
  public:
    // second may be null. Never fails: a filter whose expression does not
    // convert, or whose text is empty or holds CR or LF, matches no line.
    void Init(const TTextLogFilter& first, const TTextLogFilter* second);

    // For the scanner (logscan.cpp).
    struct Term {
        String text;
        TTextFinder finder;
        int caseSensitive = 1;
        int wholeWord = 0;
        bool never = false;  // no line can hold it
    };
    struct Filter {
        bool used = false;
        bool isExpression = false;
        int term = -1;            // plain text: its term
        TExprProgram program;     // expression
        std::vector<int> termOf;  // expression operand -> term
    };
    std::vector<Term> terms;
    std::vector<int> candidateTerms;  // a matching line holds one of these...
    bool everyLine = false;           // ...unless any line may match
    bool anyMatch = false;            // false: no line can match at all
    int longestTerm = 0;
    Filter filters[2];
};

// Called by the scan at fixed points, for tests that change the file while it
// is being scanned. event: "eof" after the read that found the end of the
// file.
struct TLogScanHooks {
    void (*onEvent)(void* context, const char* event) = nullptr;
    void* context = nullptr;
};

// The scan of CheckFileForExpression with a prepared matcher. On a match,
// matchedFirst is set to 1 when the first filter matched the line, 0 when the
// second did; it is left alone otherwise. Results and state as for
// CheckFileForExpression. hooks may be null.
long long ScanTextLog(const String& path, TLineMatcher& matcher, long long& position,
                      long long& lastSize, long long& lastAge, int scanAll, int& matchedFirst,
                      String& matchedLine, String& errorMessage, long long& fileSize,
                      const TLogScanHooks* hooks = nullptr);

// Scans the file at path from position for lines holding expression (plain
// text, or with isExpression non-zero a search expression), under the watch
// state. Returns -1 on error with errorMessage "File \"<name>\" not found",
// "Cannot open file" (after three tries a second apart) or "fseek error" (a
// negative position); 0 when no line matched; otherwise the match offset:
// the end of the lines before the matching one plus the 1-based position of
// the match in the line (1 for an expression). With scanAll 0 the scan stops
// at the first matching line, otherwise it reports the last one.
// State rules: with lastSize 0 (no state yet) the position becomes the size
// - 1 and no line is read; an unchanged file (same non-zero size and time)
// returns 0 untouched; a position past the end restarts at 0. lastSize and
// lastAge take the file's size and time unless a line matched with scanAll
// 0. matchedLine: the matching line's first 1024 bytes. fileSize: the file's
// size.
long long CheckFileForExpression(const String& path, const String& expression, long long& position,
                                 long long& lastSize, long long& lastAge, int isExpression,
                                 int scanAll, int caseSensitive, int wholeWord, String& matchedLine,
                                 String& errorMessage, long long& fileSize);

// The same with two filters: a line matches when the first filter matches it
// (matchedFirst = 1) or, when useSecond is non-zero, the second does
// (matchedFirst = 0). matchedFirst is left alone when nothing matches.
long long CheckFileForExpression2(const String& path, long long& position, long long& lastSize,
                                  long long& lastAge, const TTextLogFilter& first,
                                  const TTextLogFilter& second, int useSecond, int scanAll,
                                  int& matchedFirst, String& matchedLine, String& errorMessage,
                                  long long& fileSize);
