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
    // Five steps per line rotate the roles of a..e back to where they began.
#define SHA_ROUND5(F, K, w0, w1, w2, w3, w4)    \
    SHA_STEP(a, b, c, d, e, F(b, c, d), K, w0); \
    SHA_STEP(e, a, b, c, d, F(a, b, c), K, w1); \
    SHA_STEP(d, e, a, b, c, F(e, a, b), K, w2); \
    SHA_STEP(c, d, e, a, b, F(d, e, a), K, w3); \
    SHA_STEP(b, c, d, e, a, F(c, d, e), K, w4)
    SHA_ROUND5(SHA_F1, 0x5A827999u, w[0], w[1], w[2], w[3], w[4]);
    SHA_ROUND5(SHA_F1, 0x5A827999u, w[5], w[6], w[7], w[8], w[9]);
    SHA_ROUND5(SHA_F1, 0x5A827999u, w[10], w[11], w[12], w[13], w[14]);
    SHA_ROUND5(SHA_F1, 0x5A827999u, w[15], SHA_W(16), SHA_W(17), SHA_W(18), SHA_W(19));
    SHA_ROUND5(SHA_F2, 0x6ED9EBA1u, SHA_W(20), SHA_W(21), SHA_W(22), SHA_W(23), SHA_W(24));
    SHA_ROUND5(SHA_F2, 0x6ED9EBA1u, SHA_W(25), SHA_W(26), SHA_W(27), SHA_W(28), SHA_W(29));
    SHA_ROUND5(SHA_F2, 0x6ED9EBA1u, SHA_W(30), SHA_W(31), SHA_W(32), SHA_W(33), SHA_W(34));
    SHA_ROUND5(SHA_F2, 0x6ED9EBA1u, SHA_W(35), SHA_W(36), SHA_W(37), SHA_W(38), SHA_W(39));
    SHA_ROUND5(SHA_F3, 0x8F1BBCDCu, SHA_W(40), SHA_W(41), SHA_W(42), SHA_W(43), SHA_W(44));
    SHA_ROUND5(SHA_F3, 0x8F1BBCDCu, SHA_W(45), SHA_W(46), SHA_W(47), SHA_W(48), SHA_W(49));
    SHA_ROUND5(SHA_F3, 0x8F1BBCDCu, SHA_W(50), SHA_W(51), SHA_W(52), SHA_W(53), SHA_W(54));
    SHA_ROUND5(SHA_F3, 0x8F1BBCDCu, SHA_W(55), SHA_W(56), SHA_W(57), SHA_W(58), SHA_W(59));
    SHA_ROUND5(SHA_F2, 0xCA62C1D6u, SHA_W(60), SHA_W(61), SHA_W(62), SHA_W(63), SHA_W(64));
    SHA_ROUND5(SHA_F2, 0xCA62C1D6u, SHA_W(65), SHA_W(66), SHA_W(67), SHA_W(68), SHA_W(69));
    SHA_ROUND5(SHA_F2, 0xCA62C1D6u, SHA_W(70), SHA_W(71), SHA_W(72), SHA_W(73), SHA_W(74));
    SHA_ROUND5(SHA_F2, 0xCA62C1D6u, SHA_W(75), SHA_W(76), SHA_W(77), SHA_W(78), SHA_W(79));
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
