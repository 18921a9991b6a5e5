// THash_SHA: SHA-1 (FIPS 180-1), 20-byte digest. Used to turn a key text
// into the cipher key of the packet encryption.
#pragma once

class THash_SHA {
  public:
    // Digest size 20; starts a digest (Init).
    THash_SHA();
    // Clears all state (Burn), so no key material stays in memory.
    ~THash_SHA();

    THash_SHA(const THash_SHA&) = delete;
    THash_SHA& operator=(const THash_SHA&) = delete;

    // Burn, then the SHA-1 initial chaining words; a digest is in progress.
    void Init();
    // Zeroes the bit count, the block buffer and the chaining words; no
    // digest is in progress afterwards.
    void Burn();
    // Adds the n bytes at p; starts a digest first when none is in progress.
    // p null or n <= 0 adds nothing.
    void Update(const char* p, long n);
    // Pads, appends the bit count and leaves the 20 digest bytes (big-endian
    // chaining words) for GetHash. Requires a digest in progress: without
    // one the process stops with the assertion "fInitialized" (ciplib:212).
    void Final();
    // Non-null p: digest of the n bytes at p (Init, Update, Final). Null p:
    // the last digest, which requires that no digest is in progress (else the
    // process stops with the assertion "!fInitialized", ciplib:245).
    // The result points into this object and stays valid until it changes.
    const unsigned char* GetHash(const char* p, long n);
    // 20.
    int GetHashSize() const { return fDigestSize; }

    // Thread-safety: one thread at a time per object.

  private:
    void Compress(const unsigned char* block);

    int fInitialized;
    int fDigestSize;
    unsigned long long fCount;  // message length in bits
    unsigned char fBuffer[64];
    int fIndex;  // bytes waiting in fBuffer
    unsigned int fDigest[5];
};
