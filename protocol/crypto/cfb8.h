// TCfb8Key: the stream cipher of the packets. Twofish in cipher feedback
// with 8-bit feedback (CFB-8), keyed by the SHA-1 digest of a key text.
#pragma once

#include "protocol/crypto/twofish.h"

class TCfb8Key {
  public:
    // Prepared for the empty key text.
    TCfb8Key();
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
    Twofish_key fKey;
    Twofish_Byte fIV[16];
};
