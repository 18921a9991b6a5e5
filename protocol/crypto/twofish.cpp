#include "protocol/crypto/twofish.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

typedef Twofish_Byte Byte;
typedef Twofish_UInt32 UInt32;

// ---- Platform primitives the cipher code is written against. ----

// Little-endian 32-bit read and write at any address.
inline UInt32 GET32(const Byte* p) {
    return static_cast<UInt32>(p[0]) | (static_cast<UInt32>(p[1]) << 8) |
           (static_cast<UInt32>(p[2]) << 16) | (static_cast<UInt32>(p[3]) << 24);
}

inline void PUT32(UInt32 v, Byte* p) {
    p[0] = static_cast<Byte>(v);
    p[1] = static_cast<Byte>(v >> 8);
    p[2] = static_cast<Byte>(v >> 16);
    p[3] = static_cast<Byte>(v >> 24);
}

inline UInt32 ROL32(UInt32 x, int n) {
    return (x << n) | (x >> (32 - n));
}
inline UInt32 ROR32(UInt32 x, int n) {
    return (x >> n) | (x << (32 - n));
}
inline UInt32 BSWAP(UInt32 x) {
    return (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24);
}
// Byte b (0 = least significant) of x.
inline UInt32 SELECT_BYTE(UInt32 x, int b) {
    return (x >> (8 * b)) & 0xFFu;
}

// ---- Fixed tables, filled once by Twofish_initialise. ----

// The fixed byte permutations q0 and q1.
alignas(64) Byte q_table[2][256];
// Column j of the MDS matrix times q_outer_j(x): the last q permutation of
// each byte position folded into the matrix multiplication.
alignas(64) UInt32 mds_q_table[4][256];

std::once_flag g_init_once;
std::atomic<bool> g_initialised{false};

// Precondition checks on the primitives above, on the bytes 12 34 56 78 9A
// BC DE: reads and writes at every alignment, rotations, byte swap and byte
// selection. Fatal on the first mismatch.
void test_platform() {
    static const Byte test[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
    static const UInt32 at[4] = {0x78563412u, 0x9A785634u, 0xBC9A7856u, 0xDEBC9A78u};
    for (int i = 0; i < 4; ++i)
        if (GET32(test + i) != at[i]) Twofish_fatal("Twofish code: GET32 not implemented properly");
    for (int i = 0; i < 4; ++i) {
        Byte buf[7];
        std::memset(buf, 0, sizeof buf);
        PUT32(at[i], buf + i);
        if (std::memcmp(buf + i, test + i, 4) != 0 || (i > 0 && buf[i - 1] != 0) ||
            (i + 4 < 7 && buf[i + 4] != 0))
            Twofish_fatal("Twofish code: PUT32 not implemented properly");
    }
    UInt32 x = GET32(test);
    if (ROL32(x, 8) != 0x56341278u || ROR32(x, 8) != 0x12785634u || ROL32(x, 1) != 0xF0AC6824u ||
        ROR32(x, 1) != 0x3C2B1A09u || ROR32(ROL32(x, 13), 13) != x)
        Twofish_fatal("Twofish ROL or ROR not properly defined.");
    if (BSWAP(x) != 0x12345678u || BSWAP(GET32(test + 3)) != 0x789ABCDEu)
        Twofish_fatal("BSWAP not properly defined.");
    for (int i = 0; i < 4; ++i)
        if (SELECT_BYTE(GET32(test + 3), i) != test[3 + i])
            Twofish_fatal("Twofish code: SELECT_BYTE not implemented properly");
}

// Permutation q (0 or 1) of the byte x, built from four 4-bit tables.
unsigned QPermute(int q, unsigned x) {
    static const Byte t[2][4][16] = {
        {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
         {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
         {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
         {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
        {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
         {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
         {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
         {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};
    unsigned a = x >> 4, b = x & 15;
    unsigned a1 = a ^ b, b1 = (a ^ ((b >> 1) | (b << 3)) ^ (8 * a)) & 15;
    unsigned a2 = t[q][0][a1], b2 = t[q][1][b1];
    unsigned a3 = a2 ^ b2, b3 = (a2 ^ ((b2 >> 1) | (b2 << 3)) ^ (8 * a2)) & 15;
    unsigned a4 = t[q][2][a3], b4 = t[q][3][b3];
    return (b4 << 4) | a4;
}

// Product in GF(2^8) modulo the given polynomial (bit 8 included).
unsigned GfMultiply(unsigned a, unsigned b, unsigned poly) {
    unsigned r = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) r ^= a;
        a <<= 1;
        if (a & 0x100) a ^= poly;
    }
    return r;
}

// Fills q_table, then mds_q_table from it: entry [j][x] is column j of the
// MDS matrix, over GF(2^8) modulo x^8+x^6+x^5+x^3+1, times the outer q
// permutation of byte position j applied to x.
void initialise_tables() {
    static const Byte mds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                   {0x5B, 0xEF, 0xEF, 0x01},
                                   {0xEF, 0x5B, 0x01, 0xEF},
                                   {0xEF, 0x01, 0xEF, 0x5B}};
    static const int outer_q[4] = {1, 0, 1, 0};
    for (int q = 0; q < 2; ++q)
        for (unsigned x = 0; x < 256; ++x) q_table[q][x] = static_cast<Byte>(QPermute(q, x));
    for (int j = 0; j < 4; ++j) {
        for (int x = 0; x < 256; ++x) {
            unsigned y = q_table[outer_q[j]][x];
            UInt32 w = 0;
            for (int i = 0; i < 4; ++i)
                w |= static_cast<UInt32>(GfMultiply(mds[i][j], y, 0x169)) << (8 * i);
            mds_q_table[j][x] = w;
        }
    }
}

// The permutation q (0 or 1) of the byte y.
template <int q>
inline size_t Q(size_t y) {
    return q_table[q][y];
}

// The key bytes of one byte position j of the q chain: byte j of each of the
// k key words L[0..k-1], passed by value so that they stay in registers
// while a table is filled. Held as size_t, like the chain's intermediate
// bytes: a q output XOR a key byte then indexes the next table directly,
// with no zero extension from 32 bits in between.
struct LaneKey {
    size_t c0, c1, c2, c3;
};

template <int j>
inline LaneKey LaneKeyOf(const UInt32* L, int k) {
    return LaneKey{SELECT_BYTE(L[0], j), SELECT_BYTE(L[1], j), k > 2 ? SELECT_BYTE(L[2], j) : 0u,
                   k > 3 ? SELECT_BYTE(L[3], j) : 0u};
}

// Byte position j of the h function under k (2, 3 or 4) key words: the input
// byte y through the keyed chain of q permutations, the outer q and column j
// of the MDS matrix. Which q each stage of each position uses is fixed by
// the cipher.
template <int k, int j>
inline UInt32 KeyedColumn(size_t y, const LaneKey& key) {
    constexpr int q4[4] = {1, 0, 0, 1}, q3[4] = {1, 1, 0, 0};
    constexpr int q2[4] = {0, 1, 0, 1}, q1[4] = {0, 0, 1, 1};
    if constexpr (k == 4) y = Q<q4[j]>(y) ^ key.c3;
    if constexpr (k >= 3) y = Q<q3[j]>(y) ^ key.c2;
    y = Q<q2[j]>(y) ^ key.c1;
    y = Q<q1[j]>(y) ^ key.c0;
    return mds_q_table[j][y];
}

// The h function of the key schedule for a word whose four bytes are all i.
template <int k>
inline UInt32 HOfRepeatedByte(UInt32 i, const LaneKey* key) {
    return KeyedColumn<k, 0>(i, key[0]) ^ KeyedColumn<k, 1>(i, key[1]) ^
           KeyedColumn<k, 2>(i, key[2]) ^ KeyedColumn<k, 3>(i, key[3]);
}

// Keyed S-box j with the MDS matrix applied, for every input byte. One tight
// loop a table: the chain's key bytes stay in registers and the iterations
// are independent, so the processor overlaps their table reads.
template <int k, int j>
void FillKeyedSbox(const LaneKey key, UInt32* out) {
#pragma GCC unroll 4
    for (size_t x = 0; x < 256; ++x) out[x] = KeyedColumn<k, j>(x, key);
}

// Asks for every cache line of the fixed tables at once: a key schedule
// usually starts with them evicted (in the agent, by the network work
// between two requests), and its lookups would otherwise wait for them one
// miss after another. Requesting the lines of the key about to be written
// as well measured no better: the stores' own misses overlap well enough.
void PrefetchTables() {
    const char* q = reinterpret_cast<const char*>(q_table);
    for (size_t off = 0; off < sizeof q_table; off += 64) __builtin_prefetch(q + off, 0, 3);
    const char* mds = reinterpret_cast<const char*>(mds_q_table);
    for (size_t off = 0; off < sizeof mds_q_table; off += 64) __builtin_prefetch(mds + off, 0, 3);
}

// The 40 round-key words and the four keyed tables, for k key cycles: A and
// B are the even and odd key words, S the Reed-Solomon words (in the order
// the h function takes them).
template <int k>
void ExpandKey(const UInt32* A, const UInt32* B, const UInt32* S, Twofish_key* xkey) {
    const LaneKey ka[4] = {LaneKeyOf<0>(A, k), LaneKeyOf<1>(A, k), LaneKeyOf<2>(A, k),
                           LaneKeyOf<3>(A, k)};
    const LaneKey kb[4] = {LaneKeyOf<0>(B, k), LaneKeyOf<1>(B, k), LaneKeyOf<2>(B, k),
                           LaneKeyOf<3>(B, k)};
    for (UInt32 i = 0; i < 40; i += 2) {
        UInt32 a = HOfRepeatedByte<k>(i, ka);
        UInt32 b = ROL32(HOfRepeatedByte<k>(i + 1, kb), 8);
        xkey->K[i] = a + b;
        xkey->K[i + 1] = ROL32(a + 2 * b, 9);
    }
    FillKeyedSbox<k, 0>(LaneKeyOf<0>(S, k), xkey->s[0]);
    FillKeyedSbox<k, 1>(LaneKeyOf<1>(S, k), xkey->s[1]);
    FillKeyedSbox<k, 2>(LaneKeyOf<2>(S, k), xkey->s[2]);
    FillKeyedSbox<k, 3>(LaneKeyOf<3>(S, k), xkey->s[3]);
}

// One step of the Reed-Solomon code: x times the code's generator, modulo
// x^8+x^6+x^3+x^2+1, one byte shifted in. Branch-free on the key bytes.
inline UInt32 RsRem(UInt32 x) {
    const UInt32 b = x >> 24;
    const UInt32 g2 = ((b << 1) ^ (0x14Du & (0u - (b >> 7)))) & 0xFFu;
    const UInt32 g3 = ((b >> 1) & 0x7Fu) ^ ((0x14Du >> 1) & (0u - (b & 1u))) ^ g2;
    return (x << 8) ^ (g3 << 24) ^ (g2 << 16) ^ (g3 << 8) ^ b;
}

// One 32-bit word of the key's S vector: the Reed-Solomon code of 8 key
// bytes, computed by polynomial division rather than by 32 products in
// GF(2^8), whose branches on the key bytes made it the larger part of a
// key schedule (one runs for every request). The steps stay loops: written
// out, they were 0.7 KiB of code, which a schedule usually has to fetch from
// memory, for a few nanoseconds of arithmetic.
UInt32 RsWord(const Byte* m) {
    UInt32 r = GET32(m + 4);
#pragma GCC unroll 1
    for (int j = 0; j < 4; ++j) r = RsRem(r);
    r ^= GET32(m);
#pragma GCC unroll 1
    for (int j = 0; j < 4; ++j) r = RsRem(r);
    return r;
}

// The key schedule without the initialisation check (the self-test runs it
// before the implementation is declared ready).
void PrepareKey(const Byte key[], int key_len, Twofish_key* xkey) {
    if (key_len < 0 || key_len > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");
    PrefetchTables();
    Byte K[32];
    std::memset(K, 0, sizeof K);
    if (key_len > 0) std::memcpy(K, key, static_cast<size_t>(key_len));
    int kCycles = key_len <= 16 ? 2 : (key_len <= 24 ? 3 : 4);

    UInt32 A[4] = {0, 0, 0, 0}, B[4] = {0, 0, 0, 0}, S[4] = {0, 0, 0, 0};
    for (int i = 0; i < kCycles; ++i) {
        A[i] = GET32(K + 8 * i);
        B[i] = GET32(K + 8 * i + 4);
        S[kCycles - 1 - i] = RsWord(K + 8 * i);
    }
    if (kCycles == 2)
        ExpandKey<2>(A, B, S, xkey);
    else if (kCycles == 3)
        ExpandKey<3>(A, B, S, xkey);
    else
        ExpandKey<4>(A, B, S, xkey);
    volatile Byte* wipe = K;
    for (int i = 0; i < 32; ++i) wipe[i] = 0;
}

// ---- Block functions. ----

// The g function of the round: the keyed S-boxes and MDS matrix on x.
inline UInt32 G0(const Twofish_key* k, UInt32 x) {
    return k->s[0][x & 0xFF] ^ k->s[1][(x >> 8) & 0xFF] ^ k->s[2][(x >> 16) & 0xFF] ^
           k->s[3][x >> 24];
}
// g of the word rotated left by 8.
inline UInt32 G1(const Twofish_key* k, UInt32 x) {
    return k->s[0][x >> 24] ^ k->s[1][x & 0xFF] ^ k->s[2][(x >> 8) & 0xFF] ^
           k->s[3][(x >> 16) & 0xFF];
}

// Encrypts N blocks side by side: the lanes have no data dependencies on one
// another, so the processor overlaps their table reads.
template <int N>
inline void EncryptLanes(const Twofish_key* xk, const Byte* in, int in_stride, Byte* out) {
    UInt32 a[N], b[N], c[N], d[N];
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
        const Byte* p = in + j * in_stride;
        a[j] = GET32(p) ^ xk->K[0];
        b[j] = GET32(p + 4) ^ xk->K[1];
        c[j] = GET32(p + 8) ^ xk->K[2];
        d[j] = GET32(p + 12) ^ xk->K[3];
    }
    const UInt32* rk = xk->K + 8;
    for (int r = 0; r < 8; ++r, rk += 4) {
#pragma GCC unroll 8
        for (int j = 0; j < N; ++j) {
            UInt32 t0 = G0(xk, a[j]);
            UInt32 t1 = G1(xk, b[j]);
            c[j] = ROR32(c[j] ^ (t0 + t1 + rk[0]), 1);
            d[j] = ROL32(d[j], 1) ^ (t0 + 2 * t1 + rk[1]);
        }
#pragma GCC unroll 8
        for (int j = 0; j < N; ++j) {
            UInt32 t0 = G0(xk, c[j]);
            UInt32 t1 = G1(xk, d[j]);
            a[j] = ROR32(a[j] ^ (t0 + t1 + rk[2]), 1);
            b[j] = ROL32(b[j], 1) ^ (t0 + 2 * t1 + rk[3]);
        }
    }
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
        Byte* o = out + 16 * j;
        PUT32(c[j] ^ xk->K[4], o);
        PUT32(d[j] ^ xk->K[5], o + 4);
        PUT32(a[j] ^ xk->K[6], o + 8);
        PUT32(b[j] ^ xk->K[7], o + 12);
    }
}

// Blocks encrypted together by the multi-block functions. Three lanes keep
// all state words in x86-64 registers; more lanes spill and gain nothing, as
// the instruction count, not the table latency, is then the limit.
constexpr int kLanes = 3;

// nblocks blocks, block i at in + i * in_stride, results packed at out.
void EncryptMany(const Twofish_key* xkey, const Byte* in, int in_stride, Byte* out, int nblocks) {
    int i = 0;
    for (; i + kLanes <= nblocks; i += kLanes)
        EncryptLanes<kLanes>(xkey, in + i * in_stride, in_stride, out + 16 * i);
    for (; i + 2 <= nblocks; i += 2)
        EncryptLanes<2>(xkey, in + i * in_stride, in_stride, out + 16 * i);
    if (i < nblocks) EncryptLanes<1>(xkey, in + i * in_stride, in_stride, out + 16 * i);
}

// ---- Self-test. ----

// n bytes from 2n hex digits (the self-test's constant texts).
void FromHex(const char* hex, Byte* out, int n) {
    for (int i = 0; i < n; ++i) {
        unsigned v = 0;
        std::sscanf(hex + 2 * i, "%2x", &v);
        out[i] = static_cast<Byte>(v);
    }
}

// Published known answers for 128-, 192- and 256-bit keys.
void test_vectors() {
    static const struct {
        int key_len;
        const char* key;
        const char* plain;
        const char* cipher;
    } vectors[] = {
        {16, "00000000000000000000000000000000", "00000000000000000000000000000000",
         "9F589F5CF6122C32B6BFEC2F2AE8C35A"},
        {24, "0123456789ABCDEFFEDCBA98765432100011223344556677", "00000000000000000000000000000000",
         "CFD1D2E5A9BE9CDF501F13B892BD2248"},
        {32, "0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
         "00000000000000000000000000000000", "37527BE0052334B89F0CFCCAE87CFA20"},
    };
    Twofish_key xkey;
    for (const auto& v : vectors) {
        Byte key[32], p[16], c[16], tmp[16];
        FromHex(v.key, key, v.key_len);
        FromHex(v.plain, p, 16);
        FromHex(v.cipher, c, 16);
        PrepareKey(key, v.key_len, &xkey);
        Twofish_encrypt(&xkey, p, tmp);
        if (std::memcmp(tmp, c, 16) != 0) Twofish_fatal("Twofish encryption failure");
        Twofish_decrypt(&xkey, c, tmp);
        if (std::memcmp(tmp, p, 16) != 0) Twofish_fatal("Twofish decryption failure");
    }
}

// Published iterated sequences: from a zero key and block, 49 times
// C = E(K, P), K = (P || K) cut to the key length, P = C.
void test_sequences() {
    static const struct {
        int key_len;
        const char* final_cipher;
    } sequences[] = {
        {16, "5D9D4EEFFA9151575524F115815A12E0"},
        {24, "E75449212BEEF9F4A390BD860A640941"},
        {32, "37FE26FF1CF66175F5DDF4C33B97A205"},
    };
    Twofish_key xkey;
    for (const auto& s : sequences) {
        Byte buf[16 + 32];  // P followed by K
        Byte c[16], back[16], expected[16];
        std::memset(buf, 0, sizeof buf);
        for (int i = 0; i < 49; ++i) {
            PrepareKey(buf + 16, s.key_len, &xkey);
            Twofish_encrypt(&xkey, buf, c);
            Twofish_decrypt(&xkey, c, back);
            if (std::memcmp(back, buf, 16) != 0)
                Twofish_fatal("Twofish decryption failure in sequence");
            std::memmove(buf + 16, buf, static_cast<size_t>(s.key_len));
            std::memcpy(buf, c, 16);
        }
        FromHex(s.final_cipher, expected, 16);
        if (std::memcmp(c, expected, 16) != 0)
            Twofish_fatal("Twofish encryption failure in sequence");
    }
}

// Every key length from 31 down to 0 must behave as the same key padded with
// zero bytes to the next full length.
void test_odd_sized_keys() {
    Byte key[32], block[16], c1[16], c2[16];
    Twofish_key xkey;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<Byte>(0x9D * i + 0x35);
    for (int i = 0; i < 16; ++i) block[i] = static_cast<Byte>(0xE3 ^ (i * 7));
    for (int len = 31; len >= 0; --len) {
        key[len] = 0;  // everything from len on is zero now
        int full = len <= 16 ? 16 : (len <= 24 ? 24 : 32);
        PrepareKey(key, len, &xkey);
        Twofish_encrypt(&xkey, block, c1);
        PrepareKey(key, full, &xkey);
        Twofish_encrypt(&xkey, block, c2);
        if (std::memcmp(c1, c2, 16) != 0) Twofish_fatal("Odd sized keys do not expand properly");
        std::memcpy(block, c1, 16);
    }
}

// The three start-up checks, in order; each is fatal when it fails.
void self_test() {
    test_vectors();
    test_sequences();
    test_odd_sized_keys();
}

}  // namespace

void Twofish_fatal(const char* msg) {
    std::fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", msg);
    std::fflush(stderr);
    std::exit(3);
}

void Twofish_initialise() {
    std::call_once(g_init_once, [] {
        test_platform();
        initialise_tables();
        self_test();
        g_initialised.store(true, std::memory_order_release);
    });
}

void Twofish_prepare_key(const Twofish_Byte key[], int key_len, Twofish_key* xkey) {
    if (!g_initialised.load(std::memory_order_acquire))
        Twofish_fatal("Twofish implementation was not initialised.");
    PrepareKey(key, key_len, xkey);
}

void Twofish_encrypt(const Twofish_key* xkey, const Twofish_Byte p[16], Twofish_Byte c[16]) {
    EncryptLanes<1>(xkey, p, 16, c);
}

void Twofish_encrypt_words(const Twofish_key* xkey, const Twofish_UInt32 in[4],
                           Twofish_UInt32 out[4]) {
    UInt32 a = in[0] ^ xkey->K[0], b = in[1] ^ xkey->K[1];
    UInt32 c = in[2] ^ xkey->K[2], d = in[3] ^ xkey->K[3];
    const UInt32* rk = xkey->K + 8;
    for (int r = 0; r < 8; ++r, rk += 4) {
        UInt32 t0 = G0(xkey, a);
        UInt32 t1 = G1(xkey, b);
        c = ROR32(c ^ (t0 + t1 + rk[0]), 1);
        d = ROL32(d, 1) ^ (t0 + 2 * t1 + rk[1]);
        t0 = G0(xkey, c);
        t1 = G1(xkey, d);
        a = ROR32(a ^ (t0 + t1 + rk[2]), 1);
        b = ROL32(b, 1) ^ (t0 + 2 * t1 + rk[3]);
    }
    out[0] = c ^ xkey->K[4];
    out[1] = d ^ xkey->K[5];
    out[2] = a ^ xkey->K[6];
    out[3] = b ^ xkey->K[7];
}

void Twofish_decrypt(const Twofish_key* xkey, const Twofish_Byte c[16], Twofish_Byte p[16]) {
    UInt32 a = GET32(c + 8) ^ xkey->K[6];
    UInt32 b = GET32(c + 12) ^ xkey->K[7];
    UInt32 cc = GET32(c) ^ xkey->K[4];
    UInt32 d = GET32(c + 4) ^ xkey->K[5];
    const UInt32* rk = xkey->K + 36;
    for (int r = 7; r >= 0; --r, rk -= 4) {
        UInt32 t0 = G0(xkey, cc);
        UInt32 t1 = G1(xkey, d);
        a = ROL32(a, 1) ^ (t0 + t1 + rk[2]);
        b = ROR32(b ^ (t0 + 2 * t1 + rk[3]), 1);
        t0 = G0(xkey, a);
        t1 = G1(xkey, b);
        cc = ROL32(cc, 1) ^ (t0 + t1 + rk[0]);
        d = ROR32(d ^ (t0 + 2 * t1 + rk[1]), 1);
    }
    PUT32(a ^ xkey->K[0], p);
    PUT32(b ^ xkey->K[1], p + 4);
    PUT32(cc ^ xkey->K[2], p + 8);
    PUT32(d ^ xkey->K[3], p + 12);
}

void Twofish_encrypt_blocks(const Twofish_key* xkey, const Twofish_Byte* in, Twofish_Byte* out,
                            int nblocks) {
    EncryptMany(xkey, in, 16, out, nblocks);
}

void Twofish_encrypt_strided(const Twofish_key* xkey, const Twofish_Byte* in, int in_stride,
                             Twofish_Byte* out, int nblocks) {
    EncryptMany(xkey, in, in_stride, out, nblocks);
}
