#include "handlers/textfind.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define TEV_TEXTFIND_X86 1
#include <immintrin.h>
#endif

namespace {

// How common a byte is in log text (higher: more common), after ASCII case
// folding when the case is ignored. Only the order matters: it picks which
// two bytes of the text are compared first, so that few places pass the
// quick test.
int Commonness(unsigned char c) {
    static const char kLetters[] = "etaoinsrhldcumfpgwybvkxjqz";  // most common first
    if (c == ' ') return 255;
    if (c >= 'a' && c <= 'z') return 200 - 6 * int(std::strchr(kLetters, c) - kLetters);
    if (c >= '0' && c <= '9') return 180;  // time stamps, addresses, counters
    if (c >= 'A' && c <= 'Z') return 90;
    switch (c) {
        case ':':
        case '.':
        case '-':
            return 170;
        case '/':
        case '[':
        case ']':
        case ',':
        case '=':
            return 120;
        case '_':
        case '(':
        case ')':
        case '"':
        case '\'':
            return 80;
        default:
            return c < 0x80 ? 60 : 30;
    }
}

// Byte at p folded the way the needle was: lower-cased letters when the case
// is ignored.
inline unsigned char Fold(unsigned char c, int caseSensitive) {
    return caseSensitive ? c : static_cast<unsigned char>(LoCase(char(c)));
}

}  // namespace

void TTextFinder::Init(const String& text, int cs) {
    needle = text;
    caseSensitive = cs ? 1 : 0;
    if (!caseSensitive) needle.LowerCase();
    rare1 = rare2 = 0;
    const int n = needle.Length();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(needle.Data());
    for (int i = 1; i < n; i++)
        if (Commonness(b[i]) < Commonness(b[rare1])) rare1 = i;
    rare2 = rare1;
    for (int i = 0; i < n; i++) {
        if (i == rare1) continue;
        if (rare2 == rare1 || Commonness(b[i]) < Commonness(b[rare2])) rare2 = i;
    }
    if (rare1 > rare2) {
        const int t = rare1;
        rare1 = rare2;
        rare2 = t;
    }
    path = PathAvailable(pathAvx2) ? pathAvx2 : PathAvailable(pathSse2) ? pathSse2 : pathScalar;
}

bool TTextFinder::PathAvailable(TPath p) {
    switch (p) {
        case pathScalar:
            return true;
#ifdef TEV_TEXTFIND_X86
        case pathSse2:
            return true;
        case pathAvx2: {
            static const bool avx2 = [] {
                __builtin_cpu_init();
                return __builtin_cpu_supports("avx2") != 0;
            }();
            return avx2;
        }
#endif
        default:
            return false;
    }
}

bool TTextFinder::ForcePath(TPath p) {
    if (!PathAvailable(p)) return false;
    path = p;
    return true;
}

bool TTextFinder::Equal(const char* p) const {
    const int n = needle.Length();
    if (caseSensitive) return std::memcmp(p, needle.Data(), size_t(n)) == 0;
    const char* q = needle.Data();
    for (int i = 0; i < n; i++)
        if (LoCase(p[i]) != q[i]) return false;
    return true;
}

namespace {

#ifdef TEV_TEXTFIND_X86
// One pass over [p, p + n) checking `lanes` positions a step: the two chosen
// bytes of each position, folded with `or` of 0x20 where the needle byte is a
// letter and the case is ignored, are compared with the needle's; the full
// comparison runs only where both agree. Returns the offset where the caller
// must continue with its scalar loop, or sets *hit.
struct Probe {
    unsigned char b1, b2;        // the needle's bytes at rare1 and rare2
    unsigned char fold1, fold2;  // 0x20 when that byte is matched caseless
};

bool IsAsciiLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

__attribute__((target("avx2"))) size_t ScanWide(const TTextFinder& f, const Probe& pr, int rare1,
                                                int rare2, int len, const char* p, size_t n,
                                                const char** hit) {
    const __m256i c1 = _mm256_set1_epi8(char(pr.b1));
    const __m256i c2 = _mm256_set1_epi8(char(pr.b2));
    const __m256i f1 = _mm256_set1_epi8(char(pr.fold1));
    const __m256i f2 = _mm256_set1_epi8(char(pr.fold2));
    size_t i = 0;
    while (i + 32 + size_t(len) - 1 <= n) {
        const __m256i a = _mm256_or_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + rare1)), f1);
        const __m256i b = _mm256_or_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + rare2)), f2);
        unsigned mask = unsigned(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, c1), _mm256_cmpeq_epi8(b, c2))));
        while (mask) {
            const int bit = __builtin_ctz(mask);
            if (f.Equal(p + i + size_t(bit))) {
                *hit = p + i + size_t(bit);
                return i;
            }
            mask &= mask - 1;
        }
        i += 32;
    }
    return i;
}

size_t ScanNarrow(const TTextFinder& f, const Probe& pr, int rare1, int rare2, int len,
                  const char* p, size_t n, const char** hit) {
    const __m128i c1 = _mm_set1_epi8(char(pr.b1));
    const __m128i c2 = _mm_set1_epi8(char(pr.b2));
    const __m128i f1 = _mm_set1_epi8(char(pr.fold1));
    const __m128i f2 = _mm_set1_epi8(char(pr.fold2));
    size_t i = 0;
    while (i + 16 + size_t(len) - 1 <= n) {
        const __m128i a =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + rare1)), f1);
        const __m128i b =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + rare2)), f2);
        unsigned mask = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, c1), _mm_cmpeq_epi8(b, c2))));
        while (mask) {
            const int bit = __builtin_ctz(mask);
            if (f.Equal(p + i + size_t(bit))) {
                *hit = p + i + size_t(bit);
                return i;
            }
            mask &= mask - 1;
        }
        i += 16;
    }
    return i;
}
#endif

}  // namespace

const char* TTextFinder::Find(const char* p, size_t n) const {
    const int len = needle.Length();
    if (len == 0 || !p || n < size_t(len)) return nullptr;
    size_t i = 0;
#ifdef TEV_TEXTFIND_X86
    if (path != pathScalar) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(needle.Data());
        Probe pr;
        pr.b1 = b[rare1];
        pr.b2 = b[rare2];
        pr.fold1 = !caseSensitive && IsAsciiLetter(pr.b1) ? 0x20 : 0;
        pr.fold2 = !caseSensitive && IsAsciiLetter(pr.b2) ? 0x20 : 0;
        const char* hit = nullptr;
        i = path == pathAvx2 ? ScanWide(*this, pr, rare1, rare2, len, p, n, &hit)
                             : ScanNarrow(*this, pr, rare1, rare2, len, p, n, &hit);
        if (hit) return hit;
    }
#endif
    return FindScalar(p, n, i);
}

// The scalar scan of the starts from `from` on (the whole block, or the
// tail that a vector scan left); n >= Length() > 0.
const char* TTextFinder::FindScalar(const char* p, size_t n, size_t from) const {
    const size_t len = size_t(needle.Length());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(needle.Data());
    size_t i = from;
    if (caseSensitive) {
        // memchr on the rarest byte, then the full comparison.
        while (i + len <= n) {
            const void* q = std::memchr(p + i + size_t(rare1), b[rare1], n - len + 1 - i);
            if (!q) return nullptr;
            i = size_t(static_cast<const char*>(q) - p) - size_t(rare1);
            if (Equal(p + i)) return p + i;
            i++;
        }
        return nullptr;
    }
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    for (; i + len <= n; i++) {
        if (Fold(u[i + size_t(rare1)], caseSensitive) != b[rare1]) continue;
        if (Fold(u[i + size_t(rare2)], caseSensitive) != b[rare2]) continue;
        if (Equal(p + i)) return p + i;
    }
    return nullptr;
}
