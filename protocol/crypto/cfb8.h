// TCfb8Key: the stream cipher of the packets. Twofish in cipher feedback
// with 8-bit feedback (CFB-8), keyed by the SHA-1 digest of a key text.
#pragma once

#include "protocol/crypto/twofish.h"

class TCfb8Key {
  public:
    // Stands for the empty key text until prepared otherwise. Costs nothing:
    // the requests and replies hold a key each and prepare it only once the
    // session key is known, so an empty-text key is prepared once per process
    // and shared.
    TCfb8Key();
    // A copy of a key prepared for the empty text copies no tables.
    TCfb8Key(const TCfb8Key& other);
    TCfb8Key& operator=(const TCfb8Key& other);
    // Prepared for the len bytes at keyText (see Prepare).
    TCfb8Key(const char* keyText, int len);

    // Prepares the cipher for a key text: the SHA-1 digest of its len bytes
    // is the 20-byte Twofish key (zero-padded to 24 by the key schedule), and
    // the encryption of 16 bytes 0xFF is the initial shift register. An empty
    // text (len <= 0 or keyText null) hashes zero bytes; this never fails.
    // Runs Twofish_initialise first, so a key can be prepared at any time.
    void Prepare(const char* keyText, int len);

    // Each call starts from the initial register, so every message under the
    // same key text starts with the same key stream. n bytes from in to out;
    // in and out are the same buffer or do not overlap; n <= 0 does nothing.
    // Thread-safe: a prepared key is only read.
    void Encrypt(const char* in, char* out, int n) const;
    void Decrypt(const char* in, char* out, int n) const;

  private:
    // This key when prepared, else the shared key of the empty text.
    const TCfb8Key& Prepared() const;

    bool fPrepared = false;
    Twofish_key fKey;
    Twofish_Byte fIV[16];
};
