#include "protocol/crypto/cfb8.h"

#include <cstring>

#include "protocol/crypto/ciplib.h"

namespace {

// Bytes decrypted per batch of independent block encryptions.
constexpr int kBatch = 32;

// Asks for every cache line of a prepared key at once. In the agent a key
// is often used long after it was prepared (the reply is encrypted after
// the request has been handled), with its 4 KiB of tables evicted; the
// cipher feedback runs one block after another, and each block's lookups
// would otherwise wait for their lines one miss at a time.
void PrefetchKey(const Twofish_key& key) {
    const char* p = reinterpret_cast<const char*>(&key);
    for (size_t off = 0; off < sizeof key; off += 64) __builtin_prefetch(p + off, 0, 3);
}

}  // namespace

TCfb8Key::TCfb8Key() {}

TCfb8Key::TCfb8Key(const TCfb8Key& other) {
    *this = other;
}

TCfb8Key& TCfb8Key::operator=(const TCfb8Key& other) {
    if (this == &other) return *this;
    fPrepared = other.fPrepared;
    if (!fPrepared) return *this;
    fKey = other.fKey;
    std::memcpy(fIV, other.fIV, sizeof fIV);
    return *this;
}

const TCfb8Key& TCfb8Key::Prepared() const {
    if (fPrepared) return *this;
    static const TCfb8Key empty(nullptr, 0);
    return empty;
}

TCfb8Key::TCfb8Key(const char* keyText, int len) {
    Prepare(keyText, len);
}

void TCfb8Key::Prepare(const char* keyText, int len) {
    Twofish_initialise();
    THash_SHA sha;
    if (keyText == nullptr || len < 0) len = 0;
    // GetHash reads a null pointer as "return the last digest", so the empty
    // text is hashed through a valid pointer with length 0.
    static const char kNothing = 0;
    const unsigned char* digest = sha.GetHash(len > 0 ? keyText : &kNothing, len);
    Twofish_prepare_key(digest, sha.GetHashSize(), &fKey);
    Twofish_Byte ones[16];
    std::memset(ones, 0xFF, sizeof ones);
    Twofish_encrypt(&fKey, ones, fIV);
    fPrepared = true;
}

// Each key-stream byte depends on the previous ciphertext byte, so the block
// encryptions run strictly one after another. The register is kept as four
// little-endian words: shifting out byte 0 is a word shift, and the cipher
// reads whole words that were stored whole.
void TCfb8Key::Encrypt(const char* in, char* out, int n) const {
    if (n <= 0) return;
    if (!fPrepared) return Prepared().Encrypt(in, out, n);
    PrefetchKey(fKey);
    Twofish_UInt32 reg[4], ks[4];
    for (int w = 0; w < 4; ++w)
        reg[w] = static_cast<Twofish_UInt32>(fIV[4 * w]) |
                 (static_cast<Twofish_UInt32>(fIV[4 * w + 1]) << 8) |
                 (static_cast<Twofish_UInt32>(fIV[4 * w + 2]) << 16) |
                 (static_cast<Twofish_UInt32>(fIV[4 * w + 3]) << 24);
    for (int i = 0; i < n; ++i) {
        Twofish_encrypt_words(&fKey, reg, ks);
        Twofish_UInt32 c = (static_cast<Twofish_Byte>(in[i]) ^ ks[0]) & 0xFFu;
        out[i] = static_cast<char>(c);
        reg[0] = (reg[0] >> 8) | (reg[1] << 24);
        reg[1] = (reg[1] >> 8) | (reg[2] << 24);
        reg[2] = (reg[2] >> 8) | (reg[3] << 24);
        reg[3] = (reg[3] >> 8) | (c << 24);
    }
}

// The register for byte i is the 16 bytes before it in (IV || ciphertext),
// all known in advance, so a batch of registers is encrypted side by side.
// window holds the 16 ciphertext bytes before the batch followed by the
// batch itself; it is a copy, so out may be the same buffer as in.
void TCfb8Key::Decrypt(const char* in, char* out, int n) const {
    if (n <= 0) return;
    if (!fPrepared) return Prepared().Decrypt(in, out, n);
    PrefetchKey(fKey);
    Twofish_Byte window[16 + kBatch];
    Twofish_Byte ks[16 * kBatch];
    std::memcpy(window, fIV, 16);
    for (int done = 0; done < n;) {
        int count = n - done < kBatch ? n - done : kBatch;
        std::memcpy(window + 16, in + done, static_cast<size_t>(count));
        Twofish_encrypt_strided(&fKey, window, 1, ks, count);
        for (int j = 0; j < count; ++j)
            out[done + j] = static_cast<char>(window[16 + j] ^ ks[16 * j]);
        std::memmove(window, window + count, 16);
        done += count;
    }
}
