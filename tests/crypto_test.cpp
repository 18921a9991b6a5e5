// Known answers and properties of the checksum, hash and cipher code under
// the packet protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/crypto/cfb8.h"
#include "protocol/crypto/ciplib.h"
#include "protocol/crypto/crc32.h"
#include "protocol/crypto/md5.h"
#include "protocol/crypto/twofish.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// "-" is the empty byte string.
Bytes FromHex(const std::string& hex) {
    Bytes out;
    if (hex == "-") return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string ToHex(const Bytes& b) {
    return ToHex(b.data(), b.size());
}

// A message field of the hash rows: hex, "-" or "<char>*<count>".
Bytes Message(const std::string& field) {
    size_t star = field.find('*');
    if (star == 1) return Bytes(std::stoul(field.substr(2)), static_cast<unsigned char>(field[0]));
    return FromHex(field);
}

// The rows of one kind from the vector file, each split at white space,
// without the kind itself.
std::vector<std::vector<std::string>> Rows(const std::string& kind) {
    std::ifstream in(std::string(TEV_TESTDATA) + "/crypto-vectors.txt");
    EXPECT_TRUE(in.good()) << "crypto-vectors.txt not readable";
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string first, f;
        if (!(fields >> first) || first != kind) continue;
        std::vector<std::string> row;
        while (fields >> f) row.push_back(f);
        rows.push_back(row);
    }
    return rows;
}

Bytes RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(gen());
    return b;
}

const char* Chars(const Bytes& b) {
    return reinterpret_cast<const char*>(b.data());
}
char* Chars(Bytes& b) {
    return reinterpret_cast<char*>(b.data());
}

// Bit-at-a-time CRC register step, independent of any table.
unsigned int BitwiseCrc(unsigned int reg, const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int k = 0; k < 8; ++k) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

Bytes Sha1(const Bytes& m) {
    THash_SHA sha;
    const unsigned char* d = sha.GetHash(Chars(m) ? Chars(m) : "", static_cast<long>(m.size()));
    return Bytes(d, d + sha.GetHashSize());
}

Twofish_key PreparedKey(const Bytes& key) {
    Twofish_initialise();
    Twofish_key xkey;
    Twofish_prepare_key(key.data(), static_cast<int>(key.size()), &xkey);
    return xkey;
}

// CFB-8 written out the plain way, one block encryption per byte, as the
// reference for the batched decryption. decrypt selects what is fed back.
Bytes NaiveCfb8(const Bytes& keyText, const Bytes& in, bool decrypt) {
    Twofish_key xkey = PreparedKey(Sha1(keyText));
    unsigned char reg[16], ks[16];
    std::memset(reg, 0xFF, 16);
    Twofish_encrypt(&xkey, reg, reg);
    Bytes out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        Twofish_encrypt(&xkey, reg, ks);
        out[i] = static_cast<unsigned char>(in[i] ^ ks[0]);
        std::memmove(reg, reg + 1, 15);
        reg[15] = decrypt ? in[i] : out[i];
    }
    return out;
}

Bytes Cfb8(const Bytes& keyText, const Bytes& in, bool decrypt) {
    TCfb8Key key(Chars(keyText), static_cast<int>(keyText.size()));
    Bytes out(in.size());
    if (decrypt)
        key.Decrypt(Chars(in), Chars(out), static_cast<int>(in.size()));
    else
        key.Encrypt(Chars(in), Chars(out), static_cast<int>(in.size()));
    return out;
}

// ---------------------------------------------------------------------------
// Published and interoperability vectors.

TEST(CryptoVectorsTest, TwofishBlocks) {
    auto rows = Rows("twofish");
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        Twofish_key xkey = PreparedKey(FromHex(r[0]));
        Bytes plain = FromHex(r[1]), cipher = FromHex(r[2]);
        unsigned char buf[16];
        Twofish_encrypt(&xkey, plain.data(), buf);
        EXPECT_EQ(ToHex(buf, 16), r[2]);
        Twofish_decrypt(&xkey, cipher.data(), buf);
        EXPECT_EQ(ToHex(buf, 16), r[1]);
        // Same buffer for input and output.
        std::memcpy(buf, plain.data(), 16);
        Twofish_encrypt(&xkey, buf, buf);
        EXPECT_EQ(ToHex(buf, 16), r[2]);
        Twofish_decrypt(&xkey, buf, buf);
        EXPECT_EQ(ToHex(buf, 16), r[1]);
    }
}

TEST(CryptoVectorsTest, TwofishSequences) {
    auto rows = Rows("twofish-sequence");
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        size_t keyLen = std::stoul(r[0]) / 8;
        Bytes key(keyLen, 0), plain(16, 0), cipher(16);
        for (int i = 0; i < 49; ++i) {
            Twofish_key xkey = PreparedKey(key);
            Twofish_encrypt(&xkey, plain.data(), cipher.data());
            Bytes next(plain);
            next.insert(next.end(), key.begin(), key.end());
            next.resize(keyLen);
            key = next;
            plain = cipher;
        }
        EXPECT_EQ(ToHex(cipher), r[1]);
    }
}

TEST(CryptoVectorsTest, Sha1) {
    auto rows = Rows("sha1");
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0].substr(0, 40));
        Bytes m = Message(r[0]);
        EXPECT_EQ(ToHex(Sha1(m)), r[1]);
        // The same message fed in uneven pieces that straddle block edges.
        for (size_t piece : {1u, 55u, 63u, 64u, 65u, 1000u}) {
            SCOPED_TRACE(piece);
            THash_SHA sha;
            for (size_t at = 0; at < m.size(); at += piece)
                sha.Update(Chars(m) + at, static_cast<long>(std::min(piece, m.size() - at)));
            sha.Final();
            EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), r[1]);
        }
    }
}

TEST(CryptoVectorsTest, Md5) {
    auto rows = Rows("md5");
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0].substr(0, 40));
        Bytes m = Message(r[0]);
        for (size_t piece : {m.size() + 1, size_t{1}, size_t{7}, size_t{63}, size_t{64}}) {
            SCOPED_TRACE(piece);
            MD5Context ctx;
            MD5Open(&ctx);
            for (size_t at = 0; at < m.size(); at += piece)
                MD5Digest(&ctx, m.data() + at, std::min(piece, m.size() - at));
            unsigned char digest[16];
            MD5Close(&ctx, digest);
            EXPECT_EQ(ToHex(digest, 16), r[1]);
        }
    }
}

TEST(CryptoVectorsTest, Crc32Register) {
    auto rows = Rows("crc32-register");
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        Bytes m = FromHex(r[0]);
        unsigned int expected = static_cast<unsigned int>(std::stoul(r[1], nullptr, 16));
        TCRC32 crc;
        EXPECT_EQ(crc.GetBlockCRC(Chars(m), static_cast<int>(m.size())), expected);
        crc.InitCRC();
        for (unsigned char b : m) crc.UpdateCRC(b);
        EXPECT_EQ(crc.GetCRC(), expected);
    }
}

TEST(CryptoVectorsTest, PacketCipherBothDirections) {
    auto rows = Rows("packet-cipher");
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        Bytes keyText = FromHex(r[1]), plain = FromHex(r[2]), cipher = FromHex(r[3]);
        EXPECT_EQ(ToHex(Cfb8(keyText, plain, false)), r[3]);
        EXPECT_EQ(ToHex(Cfb8(keyText, cipher, true)), r[2]);
        // In place, through one key object used twice.
        TCfb8Key key(Chars(keyText), static_cast<int>(keyText.size()));
        Bytes buf = plain;
        key.Encrypt(Chars(buf), Chars(buf), static_cast<int>(buf.size()));
        EXPECT_EQ(ToHex(buf), r[3]);
        key.Decrypt(Chars(buf), Chars(buf), static_cast<int>(buf.size()));
        EXPECT_EQ(ToHex(buf), r[2]);
    }
}

// ---------------------------------------------------------------------------
// CRC-32.

TEST(CryptoCrc32Test, BulkPathMatchesByteSteps) {
    Bytes data = RandomBytes(70000, 7);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {511u, 512u, 513u, 1023u, 4096u, 4111u, 65537u}) lengths.push_back(n);
    for (size_t n : lengths) {
        for (size_t offset = 0; offset < 16; offset += (n > 300 ? 5 : 1)) {
            SCOPED_TRACE(testing::Message() << "length " << n << " offset " << offset);
            const unsigned char* p = data.data() + offset;
            // Start from a register left by earlier bytes, not only the initial one.
            TCRC32 crc;
            crc.UpdateCRC(static_cast<unsigned char>(0xA5));
            unsigned int start = crc.GetCRC();
            crc.UpdateCRC(reinterpret_cast<const char*>(p), static_cast<int>(n));
            EXPECT_EQ(crc.GetCRC(), BitwiseCrc(start, p, n));
        }
    }
}

TEST(CryptoCrc32Test, ChunkedUpdatesMatchOneCall) {
    Bytes data = RandomBytes(10000, 11);
    TCRC32 whole;
    unsigned int expected = whole.GetBlockCRC(Chars(data), static_cast<int>(data.size()));
    std::mt19937 gen(3);
    TCRC32 crc;
    for (size_t at = 0; at < data.size();) {
        size_t n = std::min<size_t>(gen() % 700, data.size() - at);
        crc.UpdateCRC(Chars(data) + at, static_cast<int>(n));
        at += n;
    }
    EXPECT_EQ(crc.GetCRC(), expected);
}

TEST(CryptoCrc32Test, LengthConventions) {
    TCRC32 crc;
    struct Case {
        const char* name;
        const char* p;
        int n;
        unsigned int expected;
    } cases[] = {
        {"empty", "", 0, 0xFFFFFFFFu},
        {"null pointer", nullptr, 10, 0xFFFFFFFFu},
        {"negative length", "123", -2, 0xFFFFFFFFu},
        {"up to the zero", "123456789", -1, 0x340BC6D9u},
        {"stops at the zero", "123456789\0abc", -1, 0x340BC6D9u},
        {"high bytes", "\xff\x80", 2,
         BitwiseCrc(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>("\xff\x80"), 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(crc.GetBlockCRC(c.p, c.n), c.expected);
    }
}

// ---------------------------------------------------------------------------
// SHA-1 object state.

TEST(CryptoShaTest, ReuseAfterFinalAndBurn) {
    THash_SHA sha;
    const std::string abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
    sha.Update("junk", 4);
    sha.Burn();
    sha.Update("abc", 3);  // starts a fresh digest after Burn
    sha.Final();
    EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), abc);
    sha.Update("ab", 2);  // starts a fresh digest after Final
    sha.Update("c", 1);
    sha.Final();
    EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), abc);
    EXPECT_EQ(ToHex(sha.GetHash("abc", 3), 20), abc);
}

// ---------------------------------------------------------------------------
// Twofish.

TEST(CryptoTwofishTest, ShortKeysEqualZeroPaddedKeys) {
    Bytes material = RandomBytes(32, 5);
    Bytes block = RandomBytes(16, 6);
    for (int len = 0; len <= 32; ++len) {
        SCOPED_TRACE(len);
        int full = len <= 16 ? 16 : (len <= 24 ? 24 : 32);
        Bytes shortKey(material.begin(), material.begin() + len);
        Bytes padded = shortKey;
        padded.resize(static_cast<size_t>(full), 0);
        Twofish_key a = PreparedKey(shortKey), b = PreparedKey(padded);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
        unsigned char ca[16], cb[16];
        Twofish_encrypt(&a, block.data(), ca);
        Twofish_encrypt(&b, block.data(), cb);
        EXPECT_EQ(ToHex(ca, 16), ToHex(cb, 16));
    }
}

TEST(CryptoTwofishTest, RoundTripEveryKeyLength) {
    for (int len = 0; len <= 32; ++len) {
        SCOPED_TRACE(len);
        Twofish_key xkey = PreparedKey(RandomBytes(static_cast<size_t>(len), 100 + len));
        Bytes plain = RandomBytes(16, 200 + len);
        unsigned char c[16], p[16];
        Twofish_encrypt(&xkey, plain.data(), c);
        EXPECT_NE(ToHex(c, 16), ToHex(plain));
        Twofish_decrypt(&xkey, c, p);
        EXPECT_EQ(ToHex(p, 16), ToHex(plain));
    }
}

TEST(CryptoTwofishTest, MultiBlockMatchesSingleBlocks) {
    Twofish_key xkey = PreparedKey(RandomBytes(24, 9));
    Bytes stream = RandomBytes(16 * 20, 10);
    for (int nblocks = 0; nblocks <= 13; ++nblocks) {
        for (int stride : {16, 1, 3}) {
            SCOPED_TRACE(testing::Message() << nblocks << " blocks, stride " << stride);
            Bytes expected(16 * static_cast<size_t>(nblocks)), got(expected.size() + 16, 0xEE);
            for (int i = 0; i < nblocks; ++i)
                Twofish_encrypt(&xkey, stream.data() + i * stride, expected.data() + 16 * i);
            if (stride == 16)
                Twofish_encrypt_blocks(&xkey, stream.data(), got.data(), nblocks);
            else
                Twofish_encrypt_strided(&xkey, stream.data(), stride, got.data(), nblocks);
            EXPECT_EQ(ToHex(got.data(), expected.size()), ToHex(expected));
            EXPECT_EQ(got[expected.size()], 0xEE) << "wrote past the last block";
        }
        // In place.
        Bytes buf(stream.begin(), stream.begin() + 16 * nblocks);
        Bytes expected(buf.size());
        for (int i = 0; i < nblocks; ++i)
            Twofish_encrypt(&xkey, buf.data() + 16 * i, expected.data() + 16 * i);
        Twofish_encrypt_blocks(&xkey, buf.data(), buf.data(), nblocks);
        EXPECT_EQ(ToHex(buf), ToHex(expected));
    }
}

// The key schedule written the slow, plain way from the cipher's definition:
// q0 and q1 from their 4-bit tables, products in GF(2^8) bit by bit, the
// Reed-Solomon words as a matrix product, the h function byte by byte. The
// agent's schedule computes the same tables by other routes (folded and
// reordered lookups), so a wrong entry shows up here even where the
// published vectors would not reach it.
class ReferenceKeySchedule {
  public:
    // Schedule of key (0 to 32 bytes, zero-padded to 16, 24 or 32).
    explicit ReferenceKeySchedule(const Bytes& key) {
        Bytes m = key;
        k_ = m.size() <= 16 ? 2 : (m.size() <= 24 ? 3 : 4);
        m.resize(8 * static_cast<size_t>(k_), 0);
        for (int i = 0; i < k_; ++i) {
            even_[i] = Word(&m[8 * static_cast<size_t>(i)]);
            odd_[i] = Word(&m[8 * static_cast<size_t>(i) + 4]);
            s_[k_ - 1 - i] = RsWord(&m[8 * static_cast<size_t>(i)]);
        }
    }

    // Round-key word i (0..39).
    unsigned RoundKey(int i) const {
        unsigned n = static_cast<unsigned>(i & ~1);
        unsigned a = H(n * 0x01010101u, even_);
        unsigned b = Rol(H((n + 1) * 0x01010101u, odd_), 8);
        return (i & 1) ? Rol(a + 2 * b, 9) : a + b;
    }

    // Keyed table j (0..3) at byte x: what byte position j holding x adds to
    // the g function (the MDS product is linear in the four positions).
    unsigned Table(int j, unsigned x) const { return Position(j, x, s_); }

  private:
    static unsigned Word(const unsigned char* p) {
        return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned>(p[3]) << 24);
    }
    static unsigned Rol(unsigned x, int n) { return (x << n) | (x >> (32 - n)); }
    static unsigned Byte(unsigned x, int i) { return (x >> (8 * i)) & 0xFF; }

    static unsigned GfMul(unsigned a, unsigned b, unsigned poly) {
        unsigned r = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (b & (1u << bit)) r ^= a;
            a <<= 1;
            if (a & 0x100) a ^= poly;
        }
        return r;
    }

    static unsigned Q(int which, unsigned x) {
        static const unsigned char t[2][4][16] = {
            {{8, 1, 7, 13, 6, 15, 3, 2, 0, 11, 5, 9, 14, 12, 10, 4},
             {14, 12, 11, 8, 1, 2, 3, 5, 15, 4, 10, 6, 7, 0, 9, 13},
             {11, 10, 5, 14, 6, 13, 9, 0, 12, 8, 15, 3, 2, 4, 7, 1},
             {13, 7, 15, 4, 1, 2, 6, 14, 9, 11, 3, 0, 8, 5, 12, 10}},
            {{2, 8, 11, 13, 15, 7, 6, 14, 3, 1, 9, 4, 0, 10, 12, 5},
             {1, 14, 2, 11, 4, 12, 3, 7, 6, 13, 10, 5, 15, 9, 0, 8},
             {4, 12, 7, 5, 1, 6, 9, 10, 0, 14, 13, 8, 2, 11, 3, 15},
             {11, 9, 5, 1, 12, 3, 13, 14, 6, 4, 7, 15, 2, 0, 8, 10}}};
        auto ror4 = [](unsigned v) { return ((v >> 1) | (v << 3)) & 15; };
        unsigned a = x / 16, b = x % 16;
        for (int round = 0; round < 2; ++round) {
            unsigned a1 = a ^ b, b1 = (a ^ ror4(b) ^ (8 * a)) & 15;
            a = t[which][2 * round][a1];
            b = t[which][2 * round + 1][b1];
        }
        return 16 * b + a;
    }

    static unsigned RsWord(const unsigned char* m) {
        static const unsigned char rs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                                               {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                                               {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                                               {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};
        unsigned w = 0;
        for (int i = 0; i < 4; ++i) {
            unsigned v = 0;
            for (int j = 0; j < 8; ++j) v ^= GfMul(rs[i][j], m[j], 0x14D);
            w |= v << (8 * i);
        }
        return w;
    }

    // Byte position j of the h function under the key words l: y through the
    // keyed q chain, times column j of the MDS matrix.
    unsigned Position(int j, unsigned y, const unsigned* l) const {
        static const int q4[4] = {1, 0, 0, 1}, q3[4] = {1, 1, 0, 0}, q2[4] = {0, 1, 0, 1},
                         q1[4] = {0, 0, 1, 1}, q0[4] = {1, 0, 1, 0};
        if (k_ == 4) y = Q(q4[j], y) ^ Byte(l[3], j);
        if (k_ >= 3) y = Q(q3[j], y) ^ Byte(l[2], j);
        y = Q(q0[j], Q(q1[j], Q(q2[j], y) ^ Byte(l[1], j)) ^ Byte(l[0], j));
        static const unsigned char mds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                                {0x5B, 0xEF, 0xEF, 0x01},
                                                {0xEF, 0x5B, 0x01, 0xEF},
                                                {0xEF, 0x01, 0xEF, 0x5B}};
        unsigned out = 0;
        for (int i = 0; i < 4; ++i) out |= GfMul(mds[i][j], y, 0x169) << (8 * i);
        return out;
    }

    unsigned H(unsigned x, const unsigned* l) const {
        return Position(0, Byte(x, 0), l) ^ Position(1, Byte(x, 1), l) ^
               Position(2, Byte(x, 2), l) ^ Position(3, Byte(x, 3), l);
    }

    int k_ = 2;
    unsigned even_[4] = {0, 0, 0, 0}, odd_[4] = {0, 0, 0, 0}, s_[4] = {0, 0, 0, 0};
};

TEST(CryptoTwofishTest, KeyScheduleMatchesReference) {
    for (int len : {0, 1, 15, 16, 17, 20, 23, 24, 25, 31, 32}) {
        for (unsigned seed = 0; seed < 12; ++seed) {
            SCOPED_TRACE(testing::Message() << len << " bytes, seed " << seed);
            Bytes key =
                RandomBytes(static_cast<size_t>(len), 1000 * seed + static_cast<unsigned>(len));
            if (seed == 0) std::fill(key.begin(), key.end(), 0xFF);
            Twofish_key xkey = PreparedKey(key);
            ReferenceKeySchedule ref(key);
            int wrong = 0;
            for (int i = 0; i < 40; ++i)
                if (xkey.K[i] != ref.RoundKey(i) && ++wrong <= 3)
                    ADD_FAILURE() << "round key " << i << ": " << std::hex << xkey.K[i]
                                  << " instead of " << ref.RoundKey(i);
            for (int j = 0; j < 4; ++j)
                for (unsigned x = 0; x < 256; ++x)
                    if (xkey.s[j][x] != ref.Table(j, x) && ++wrong <= 3)
                        ADD_FAILURE() << "table " << j << " at " << x << ": " << std::hex
                                      << xkey.s[j][x] << " instead of " << ref.Table(j, x);
            EXPECT_EQ(wrong, 0);
        }
    }
}

// Many threads initialising, preparing keys and encrypting at once must get
// exactly what one thread gets.
TEST(CryptoTwofishTest, ConcurrentUseMatchesSerialResults) {
    const int kThreads = 4, kKeys = 8;
    Bytes plain = RandomBytes(200, 12);
    std::vector<Bytes> keys, expected;
    for (int k = 0; k < kKeys; ++k) {
        keys.push_back(RandomBytes(static_cast<size_t>(k * 4), 300 + k));
        expected.push_back(Cfb8(keys.back(), plain, false));
    }
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Twofish_initialise();
            for (int round = 0; round < 3; ++round)
                for (int k = 0; k < kKeys; ++k) {
                    Bytes c = Cfb8(keys[static_cast<size_t>(k)], plain, false);
                    Bytes p = Cfb8(keys[static_cast<size_t>(k)], c, true);
                    if (c != expected[static_cast<size_t>(k)] || p != plain) ++mismatches[t];
                }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// ---------------------------------------------------------------------------
// Packet cipher.

TEST(CryptoCfb8Test, RoundTripAllShortLengthsAndALargeBuffer) {
    Bytes keyText = {'s', 'e', 's', 's', 'i', 'o', 'n'};
    TCfb8Key key(Chars(keyText), static_cast<int>(keyText.size()));
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    lengths.push_back(100003);
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        Bytes plain = RandomBytes(n, static_cast<unsigned>(n)), c(n), p(n);
        key.Encrypt(Chars(plain), Chars(c), static_cast<int>(n));
        key.Decrypt(Chars(c), Chars(p), static_cast<int>(n));
        ASSERT_EQ(p, plain);
        if (n >= 16) {
            EXPECT_NE(c, plain);
        }
    }
}

TEST(CryptoCfb8Test, MatchesOneBlockAtATimeReference) {
    struct Case {
        const char* name;
        Bytes keyText;
        size_t length;
    } cases[] = {
        {"empty key text", {}, 100},
        {"text key", {'p', 'w'}, 1000},
        {"binary key longer than a block", RandomBytes(40, 1), 77},
        {"a few bytes", {'k'}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = RandomBytes(c.length, 21);
        for (bool decrypt : {false, true}) {
            SCOPED_TRACE(decrypt ? "decrypt" : "encrypt");
            Bytes want = NaiveCfb8(c.keyText, data, decrypt);
            EXPECT_EQ(ToHex(Cfb8(c.keyText, data, decrypt)), ToHex(want));
        }
    }
}

TEST(CryptoCfb8Test, EmptyKeyTextIsTheDigestOfNothing) {
    // A null pointer, an empty text and a negative length all hash zero bytes.
    Bytes plain = RandomBytes(50, 4), a(50), b(50), c(50);
    TCfb8Key k1;
    TCfb8Key k2("", 0);
    TCfb8Key k3("ignored", -1);
    k1.Encrypt(Chars(plain), Chars(a), 50);
    k2.Encrypt(Chars(plain), Chars(b), 50);
    k3.Encrypt(Chars(plain), Chars(c), 50);
    EXPECT_EQ(a, NaiveCfb8({}, plain, false));
    EXPECT_EQ(b, a);
    EXPECT_EQ(c, a);
}

TEST(CryptoCfb8Test, ChangedCiphertextByteSpoilsItAndTheNextSixteen) {
    Bytes keyText = {'k', 'e', 'y'};
    Bytes plain = RandomBytes(120, 8);
    Bytes cipher = Cfb8(keyText, plain, false);
    for (size_t pos : {0u, 1u, 15u, 16u, 50u, 100u, 110u, 119u}) {
        SCOPED_TRACE(pos);
        Bytes spoilt = cipher;
        spoilt[pos] ^= 0x5A;
        Bytes p = Cfb8(keyText, spoilt, true);
        for (size_t i = 0; i < plain.size(); ++i) {
            bool affected = i >= pos && i <= pos + 16;
            if (affected) {
                EXPECT_NE(p[i], plain[i]) << "byte " << i;
            } else {
                EXPECT_EQ(p[i], plain[i]) << "byte " << i;
            }
        }
        EXPECT_EQ(p[pos], plain[pos] ^ 0x5A);
    }
}

// ---------------------------------------------------------------------------
// Fatal misuse.

TEST(CryptoDeathTest, TwofishIllegalKeyLengthIsFatal) {
    Twofish_initialise();
    unsigned char key[40] = {0};
    Twofish_key xkey;
    for (int len : {33, -1}) {
        SCOPED_TRACE(len);
        EXPECT_EXIT(Twofish_prepare_key(key, len, &xkey), testing::ExitedWithCode(3),
                    "\nTwofish fatal error: Twofish_prepare_key: illegal key length\n"
                    "Process terminated\n");
    }
}

TEST(CryptoDeathTest, TwofishKeyBeforeInitialiseIsFatal) {
    // A freshly started process, so nothing has initialised the cipher yet.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsigned char key[16] = {0};
            Twofish_key xkey;
            Twofish_prepare_key(key, 16, &xkey);
        },
        testing::ExitedWithCode(3), "Twofish implementation was not initialised\\.");
    GTEST_FLAG_SET(death_test_style, style);
}

TEST(CryptoDeathTest, ShaMisuseStopsNamingTheSource) {
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.Final();
            sha.Final();
        },
        "ciplib:212: void THash_SHA::Final\\(\\): Assertion `fInitialized' failed");
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.Update("x", 1);
            sha.GetHash(nullptr, 0);
        },
        "ciplib:245: .*GetHash.*Assertion `!fInitialized' failed");
}

}  // namespace
