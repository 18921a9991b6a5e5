#include "protocol/crypto/ciplib.h"

#include <cstring>

#include "core/tevassert.h"

namespace {

inline unsigned int Rol(unsigned int x, int n) {
    return (x << n) | (x >> (32 - n));
}

// Swaps the byte order of a 32-bit word.
inline unsigned int REVERSE32(unsigned int x) {
    return __builtin_bswap32(x);
}

inline unsigned int LoadBE32(const unsigned char* p) {
    return (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
           (static_cast<unsigned int>(p[2]) << 8) | static_cast<unsigned int>(p[3]);
}

}  // namespace

THash_SHA::THash_SHA() : fDigestSize(20) {
    Init();
}

THash_SHA::~THash_SHA() {
    Burn();
}

void THash_SHA::Init() {
    Burn();
    fDigest[0] = 0x67452301u;
    fDigest[1] = 0xEFCDAB89u;
    fDigest[2] = 0x98BADCFEu;
    fDigest[3] = 0x10325476u;
    fDigest[4] = 0xC3D2E1F0u;
    fInitialized = 1;
}

void THash_SHA::Burn() {
    // volatile stores so that clearing in the destructor is not dropped as
    // dead code.
    volatile unsigned char* b = fBuffer;
    for (int i = 0; i < 64; ++i) b[i] = 0;
    volatile unsigned int* d = fDigest;
    for (int i = 0; i < 5; ++i) d[i] = 0;
    fCount = 0;
    fIndex = 0;
    fInitialized = 0;
}

// The 80 steps in five groups; the schedule is kept in a 16-word ring so it
// lives in registers or one cache line.
#define SHA_W(i) \
    (w[(i)&15] = Rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i)&15], 1))
#define SHA_STEP(a, b, c, d, e, f, k, wi)  \
    do {                                   \
        e += Rol(a, 5) + (f) + (k) + (wi); \
        b = Rol(b, 30);                    \
    } while (0)
#define SHA_F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA_F3(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

void THash_SHA::Compress(const unsigned char* block) {
    unsigned int w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBE32(block + 4 * i);
    unsigned int a = fDigest[0], b = fDigest[1], c = fDigest[2], d = fDigest[3], e = fDigest[4];
    // Five steps rotate the roles of a..e back to where they began. Each
    // group of 20 steps is a loop over such runs rather than written out:
    // the hash runs for every request, usually with its code evicted from
    // the caches, and 80 steps written out were 4.7 KiB of code to fetch
    // from memory for the same latency-bound arithmetic.
#define SHA_ROUND5(F, K, W, i)                          \
    SHA_STEP(a, b, c, d, e, F(b, c, d), K, W(i));       \
    SHA_STEP(e, a, b, c, d, F(a, b, c), K, W((i) + 1)); \
    SHA_STEP(d, e, a, b, c, F(e, a, b), K, W((i) + 2)); \
    SHA_STEP(c, d, e, a, b, F(d, e, a), K, W((i) + 3)); \
    SHA_STEP(b, c, d, e, a, F(c, d, e), K, W((i) + 4))
#define SHA_W_FIRST(i) w[i]
#define SHA_W_FROM15(i) ((i) == 15 ? w[15] : SHA_W(i))
#pragma GCC unroll 1
    for (int i = 0; i < 15; i += 5) {
        SHA_ROUND5(SHA_F1, 0x5A827999u, SHA_W_FIRST, i);
    }
    SHA_ROUND5(SHA_F1, 0x5A827999u, SHA_W_FROM15, 15);
#pragma GCC unroll 1
    for (int i = 20; i < 40; i += 5) {
        SHA_ROUND5(SHA_F2, 0x6ED9EBA1u, SHA_W, i);
    }
#pragma GCC unroll 1
    for (int i = 40; i < 60; i += 5) {
        SHA_ROUND5(SHA_F3, 0x8F1BBCDCu, SHA_W, i);
    }
#pragma GCC unroll 1
    for (int i = 60; i < 80; i += 5) {
        SHA_ROUND5(SHA_F2, 0xCA62C1D6u, SHA_W, i);
    }
#undef SHA_W_FIRST
#undef SHA_W_FROM15
#undef SHA_ROUND5
    fDigest[0] += a;
    fDigest[1] += b;
    fDigest[2] += c;
    fDigest[3] += d;
    fDigest[4] += e;
}

#undef SHA_W
#undef SHA_STEP
#undef SHA_F1
#undef SHA_F2
#undef SHA_F3

void THash_SHA::Update(const char* p, long n) {
    if (!fInitialized) Init();
    if (p == nullptr || n <= 0) return;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(p);
    unsigned long long len = static_cast<unsigned long long>(n);
    fCount += len * 8;
    if (fIndex > 0) {
        unsigned long long take = 64 - static_cast<unsigned long long>(fIndex);
        if (take > len) take = len;
        std::memcpy(fBuffer + fIndex, in, take);
        fIndex += static_cast<int>(take);
        in += take;
        len -= take;
        if (fIndex < 64) return;
        Compress(fBuffer);
        fIndex = 0;
    }
    while (len >= 64) {
        Compress(in);
        in += 64;
        len -= 64;
    }
    if (len > 0) {
        std::memcpy(fBuffer, in, len);
        fIndex = static_cast<int>(len);
    }
}

void THash_SHA::Final() {
    TEV_ASSERT(fInitialized, "fInitialized", "ciplib", 212, "void THash_SHA::Final()");
    unsigned long long bits = fCount;
    fBuffer[fIndex++] = 0x80;
    if (fIndex > 56) {
        std::memset(fBuffer + fIndex, 0, 64 - fIndex);
        Compress(fBuffer);
        fIndex = 0;
    }
    std::memset(fBuffer + fIndex, 0, 56 - fIndex);
    for (int i = 0; i < 8; ++i) fBuffer[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Compress(fBuffer);
    // The digest is the chaining words in big-endian byte order, kept in
    // place so GetHash can hand out a pointer to them.
    unsigned char* out = reinterpret_cast<unsigned char*>(fDigest);
    for (int i = 0; i < 5; ++i) {
        unsigned int v = fDigest[i];
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        v = REVERSE32(v);
#endif
        std::memcpy(out + 4 * i, &v, 4);
    }
    std::memset(fBuffer, 0, sizeof fBuffer);
    fIndex = 0;
    fCount = 0;
    fInitialized = 0;
}

const unsigned char* THash_SHA::GetHash(const char* p, long n) {
    if (p != nullptr) {
        Init();
        Update(p, n);
        Final();
    } else {
        TEV_ASSERT(!fInitialized, "!fInitialized", "ciplib", 245,
                   "const unsigned char* THash_SHA::GetHash(const char*, long)");
    }
    return reinterpret_cast<const unsigned char*>(fDigest);
}
