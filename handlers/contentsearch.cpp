#include "handlers/contentsearch.h"

#include <algorithm>
#include <cstring>

#include "platform/seqread.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

bool IsWordByte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

long long FindBytes(const char* Hay, size_t n, const char* Needle, size_t m) {
    if (m == 0 || m > n) return -1;
    if (m == 1) {
        const void* p = memchr(Hay, Needle[0], n);
        return p ? static_cast<const char*>(p) - Hay : -1;
    }
    size_t i = 0;
#if defined(__SSE2__)
    // Sixteen candidate starts at a time: a start survives when both the
    // first and the last byte of the needle are in place; only survivors are
    // compared in full. Rare survivors make this run at memory speed.
    const __m128i first = _mm_set1_epi8(Needle[0]);
    const __m128i last = _mm_set1_epi8(Needle[m - 1]);
    for (; i + m - 1 + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Hay + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Hay + i + m - 1));
        unsigned mask = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask != 0) {
            const unsigned bit = unsigned(__builtin_ctz(mask));
            if (memcmp(Hay + i + bit + 1, Needle + 1, m - 2) == 0) return (long long)(i + bit);
            mask &= mask - 1;
        }
    }
#endif
    const void* p = memmem(Hay + i, n - i, Needle, m);
    return p ? static_cast<const char*>(p) - Hay : -1;
}

void LowerAscii(char* p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i below = _mm_set1_epi8('A' - 1);
    const __m128i above = _mm_set1_epi8('Z' + 1);
    const __m128i shift = _mm_set1_epi8(32);
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // Signed compares: bytes from 128 up are negative and stay alone.
        const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, below), _mm_cmplt_epi8(v, above));
        v = _mm_add_epi8(v, _mm_and_si128(upper, shift));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), v);
    }
#endif
    for (; i < n; i++)
        if (p[i] >= 'A' && p[i] <= 'Z') p[i] = char(p[i] + 32);
}

long long FindStrInFileBlock(const String& Name, const String& Text, bool CaseSensitive,
                             bool WholeWord, size_t Block) {
    const size_t m = size_t(Text.Length());
    if (m == 0 || Name.Length() == 0 || Block == 0) return -1;
    TSeqFile file;
    if (!file.Open(Name)) return -1;
    const long long fileSize = file.Size();
    // A size of 0 may be a pseudo-file's: it is read all the same.
    if (fileSize > 0 && (long long)m > fileSize) return 0;
    String needle = Text;
    if (!CaseSensitive) LowerAscii(needle.Data(), m);
    // The window holds file bytes [base, base + have). Every start before
    // `done` has been judged; one byte before `done` is kept so the whole-
    // word rule can see it.
    const size_t cap = m + 1 + Block;
    TScanBuffer buffer(cap);
    char* buf = buffer.Data();
    if (!buf) return -1;
    long long base = 0, done = 0;
    size_t have = 0;
    for (;;) {
        const long long n = file.ReadFull(buf + have, cap - have);
        if (n < 0) return -1;
        if (!CaseSensitive) LowerAscii(buf + have, size_t(n));
        have += size_t(n);
        const bool eof = size_t(n) < cap - (have - size_t(n));
        const long long end = base + (long long)have;
        // A start is judged once the byte after the occurrence is in the
        // window, or the file ends right after it.
        const long long limit = end - (long long)m + (eof ? 1 : 0);
        long long from = done;
        while (from < limit) {
            const long long p =
                FindBytes(buf + (from - base), size_t(limit - from) + m - 1, needle.Data(), m);
            if (p < 0) break;
            const long long s = from + p;
            if (!WholeWord) return s + 1;
            const bool beforeOk = s == 0 || !IsWordByte((unsigned char)buf[s - 1 - base]);
            const bool afterOk =
                s + (long long)m == end || !IsWordByte((unsigned char)buf[s + (long long)m - base]);
            if (beforeOk && afterOk) return s + 1;
            from = s + 1;
        }
        if (eof) return 0;
        if (limit > done) done = limit;
        long long keep = done > 0 ? done - 1 : 0;
        if (keep < base) keep = base;
        const size_t kept = size_t(end - keep);
        memmove(buf, buf + (keep - base), kept);
        base = keep;
        have = kept;
    }
}

long long FindStrInFile(const String& Name, const String& Text, bool CaseSensitive,
                        bool WholeWord) {
    return FindStrInFileBlock(Name, Text, CaseSensitive, WholeWord, kSearchBlockSize);
}

namespace {

// First guess of the buffer for a file that reports size 0.
const size_t kPseudoFileGuess = 64 * 1024;

// Reads the open file to its end into buf, when it holds at most
// kMaxSearchFileSize bytes. The reported size is only the first guess: a
// pseudo-file reports 0 and has content all the same, and any file may
// grow. Returns the byte count, or -1 when a read or an allocation fails or
// the file holds more.
long long ReadWhole(TSeqFile& file, long long size, TScanBuffer& buf) {
    // One byte more than expected tells a file that grew.
    size_t want = size > 0 ? size_t(size) + 1 : kPseudoFileGuess;
    size_t have = 0;
    for (;;) {
        if (!buf.Resize(want)) return -1;
        const long long n = file.ReadFull(buf.Data() + have, want - have);
        if (n < 0) return -1;
        have += size_t(n);
        if (have > size_t(kMaxSearchFileSize)) return -1;
        if (have < want) return (long long)have;
        want = std::min(want * 2, size_t(kMaxSearchFileSize) + 1);
    }
}

}  // namespace

long long FindFileInFile(const String& File1, const String& File2) {
    TSeqFile file;
    if (!file.Open(File2)) return -1;
    const long long size = file.Size();
    if (size < 0 || size > kMaxSearchFileSize) return -1;
    TScanBuffer buffer(0);
    const long long n = ReadWhole(file, size, buffer);
    if (n < 0) return -1;
    if (n == 0) return 1;
    file.Close();
    return FindStrInFile(File1, String(buffer.Data(), int(n)), true, false);
}
