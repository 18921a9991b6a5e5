#include "protocol/crypto/crc32.h"

#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEV_CRC_CLMUL 1
#endif

namespace {

constexpr unsigned int kPolynomial = 0xEDB88320u;

// Row j, entry b: the register change caused by the byte b followed by j
// zero bytes, starting from a zero register. Row 0 is the classic table.
struct SliceTables {
    unsigned int row[16][256];
};

constexpr SliceTables MakeSliceTables() {
    SliceTables s{};
    for (unsigned int b = 0; b < 256; ++b) {
        unsigned int c = b;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        s.row[0][b] = c;
    }
    for (unsigned int b = 0; b < 256; ++b)
        for (int j = 1; j < 16; ++j)
            s.row[j][b] = (s.row[j - 1][b] >> 8) ^ s.row[0][s.row[j - 1][b] & 0xFFu];
    return s;
}

constexpr SliceTables kSlice = MakeSliceTables();

// Little-endian 32-bit read from any address.
inline unsigned int Load32(const unsigned char* p) {
    unsigned int v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

// Register after the n bytes at p, sixteen bytes per step (each step is
// sixteen independent table reads instead of a chain of sixteen).
unsigned int UpdateSliced(unsigned int crc, const unsigned char* p, size_t n) {
    const auto& t = kSlice.row;
    while (n >= 16) {
        unsigned int w0 = Load32(p) ^ crc;
        unsigned int w1 = Load32(p + 4);
        unsigned int w2 = Load32(p + 8);
        unsigned int w3 = Load32(p + 12);
        crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
              t[12][w0 >> 24] ^ t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^
              t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^ t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^
              t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^ t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^
              t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
        p += 16;
        n -= 16;
    }
    while (n > 0) {
        crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
        --n;
    }
    return crc;
}

#ifdef TEV_CRC_CLMUL

// Folding constants for the reflected polynomial: x^(d+32) and x^(d-32)
// modulo P, bit-reflected and shifted left by one, for a fold distance d of
// 512 bits (four lanes) and 128 bits (one lane).
constexpr long long kFold512Lo = 0x0154442bd4LL;
constexpr long long kFold512Hi = 0x01c6e41596LL;
constexpr long long kFold128Lo = 0x01751997d0LL;
constexpr long long kFold128Hi = 0x00ccaa009eLL;

// x carried forward over the distance encoded in k, added to next.
__attribute__((target("pclmul"))) inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

inline __m128i Load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds the first n bytes at p (n a multiple of 16, at least 64), with the
// register crc, into 16 bytes out whose CRC from a zero register equals
// the register after those n bytes. Carry-less multiplication keeps four
// independent lanes of 16 bytes in flight.
__attribute__((target("pclmul"))) void FoldClmul(unsigned int crc, const unsigned char* p, size_t n,
                                                 unsigned char out[16]) {
    const __m128i k512 = _mm_set_epi64x(kFold512Hi, kFold512Lo);
    const __m128i k128 = _mm_set_epi64x(kFold128Hi, kFold128Lo);
    __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = Load128(p + 16);
    __m128i x2 = Load128(p + 32);
    __m128i x3 = Load128(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
        x0 = Fold(x0, k512, Load128(p));
        x1 = Fold(x1, k512, Load128(p + 16));
        x2 = Fold(x2, k512, Load128(p + 32));
        x3 = Fold(x3, k512, Load128(p + 48));
        p += 64;
        n -= 64;
    }
    __m128i x = Fold(x0, k128, x1);
    x = Fold(x, k128, x2);
    x = Fold(x, k128, x3);
    while (n >= 16) {
        x = Fold(x, k128, Load128(p));
        p += 16;
        n -= 16;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
}

// True when the processor has carry-less multiplication; asked once.
bool HaveClmul() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") != 0;
    }();
    return have;
}

// Below this size the set-up of the folding costs more than it saves.
constexpr size_t kClmulMinimum = 128;

#endif  // TEV_CRC_CLMUL

unsigned int UpdateBulk(unsigned int crc, const unsigned char* p, size_t n) {
#ifdef TEV_CRC_CLMUL
    if (n >= kClmulMinimum && HaveClmul()) {
        size_t folded = n & ~static_cast<size_t>(15);
        unsigned char rest[16];
        FoldClmul(crc, p, folded, rest);
        crc = UpdateSliced(0, rest, sizeof rest);
        return UpdateSliced(crc, p + folded, n - folded);
    }
#endif
    return UpdateSliced(crc, p, n);
}

}  // namespace

TCRC32::TCRC32() {
    for (unsigned int b = 0; b < 256; ++b) {
        unsigned int c = b;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        fTable[b] = c;
    }
    InitCRC();
}

void TCRC32::InitCRC() {
    fRegister = 0xFFFFFFFFu;
}

void TCRC32::UpdateCRC(unsigned char b) {
    fRegister = fTable[(fRegister ^ b) & 0xFFu] ^ (fRegister >> 8);
}

void TCRC32::UpdateCRC(const char* p, int n) {
    if (p == nullptr) return;
    size_t len = n == -1 ? std::strlen(p) : (n > 0 ? static_cast<size_t>(n) : 0);
    if (len == 0) return;
    fRegister = UpdateBulk(fRegister, reinterpret_cast<const unsigned char*>(p), len);
}

unsigned int TCRC32::GetBlockCRC(const char* p, int n) {
    InitCRC();
    UpdateCRC(p, n);
    return GetCRC();
}
