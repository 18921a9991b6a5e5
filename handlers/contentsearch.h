// Searching a file for a string, or for the whole content of another file:
// the working functions of "TEST-FileCompare" modes "2" and "3".
//
// The file is read in large blocks into one buffer that carries the last
// bytes of each block into the next, so occurrences across block
// boundaries are found, and the whole-word rule judges the real
// neighbouring bytes of an occurrence in the file (the start and the end of
// the file count as non-word). Memory per call: the block plus the text.
// Re-entrant.
#pragma once

#include <cstddef>

#include "core/zostring.h"

// Block size of the content search.
const size_t kSearchBlockSize = 256 * 1024;
// Largest second file FindFileInFile reads whole.
const long long kMaxSearchFileSize = 8 * 1024 * 1024;

// Searches the file Name for Text. Without CaseSensitive, ASCII letters are
// compared without regard to case. With WholeWord, an occurrence counts
// only when neither the byte before nor the byte after it in the file is
// an ASCII letter or digit. Returns a positive number when found (the
// 1-based offset of the occurrence), 0 when not found (at once when Text is
// longer than the file), -1 when Text or Name is empty, the file cannot be
// opened, the buffer cannot be allocated or a read fails.
long long FindStrInFile(const String& Name, const String& Text, bool CaseSensitive, bool WholeWord);

// FindStrInFile with a chosen block size (at least 1), so tests can put
// occurrences across every boundary.
long long FindStrInFileBlock(const String& Name, const String& Text, bool CaseSensitive,
                             bool WholeWord, size_t Block);

// Searches File1 for the whole content of File2 as a byte string (case-
// sensitive, not whole word). File2 is read to its end whatever size it
// reports (a pseudo-file of /proc reports 0). Returns 1 when File2 is
// empty; -1 when the name of File2 is empty, File2 cannot be opened or
// read, or it holds more than kMaxSearchFileSize bytes; otherwise
// FindStrInFile's result.
long long FindFileInFile(const String& File1, const String& File2);

// Offset of the first occurrence of the m bytes at Needle in the n bytes at
// Hay, or -1. m = 0 gives -1.
long long FindBytes(const char* Hay, size_t n, const char* Needle, size_t m);

// Lowers the ASCII capitals among the n bytes at p in place.
void LowerAscii(char* p, size_t n);
