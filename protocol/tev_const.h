// Packet layout and the packet cipher.
//
// Request: N(4) | tag 0x03 0x12 | P(2) | MD5(password)(P) | K(2) |
//          session key encrypted under the password (K) | R(4) |
//          request body encrypted under the session key (R)
// Reply:   L(4) | reply body encrypted under the session key (L)
// Lengths are unsigned little-endian. The cipher is Twofish in CFB-8 with
// the SHA-1 digest of the key text as key (see protocol/crypto/cfb8.h).
#pragma once

#include <memory>

#include "core/zostring.h"
#include "protocol/crypto/cfb8.h"

extern const int SIZELEN_AUTH;     // 2
extern const int SIZELEN_PSWD;     // 2
extern const int SIZELEN_KEY;      // 2
extern const int SIZELEN_REQUEST;  // 4
extern const int SIZELEN_MINIMUM;  // 14

// The two tag bytes that open every request after its length field.
const unsigned char PACKET_TAG_0 = 0x03;
const unsigned char PACKET_TAG_1 = 0x12;

// Largest request packet (N + 4) the agent accepts. Requests are short texts
// (an upgrade's program file travels outside the packet), so anything larger
// is refused as soon as its length field arrives, before it is buffered.
const unsigned int MAX_REQUEST_PACKET = 16u * 1024 * 1024;

// The low `digits` bytes of s.Length(), least significant first.
// REQUIRES: digits <= 4 (asserted, naming tev_const).
String EncodeLength(const String& s, int digits);
// The unsigned value of 1, 2 or 4 bytes at p, least significant first; 0 for
// digits 0 or 3. REQUIRES: digits <= 4 (asserted, naming tev_const).
unsigned int DecodeLength(const char* p, int digits);

// The CFB-8 ciphertext of data under the key text `key`, preceded by its
// length in `digits` bytes when digits > 0. Empty data gives an empty String
// (no length field). The key is prepared afresh for every call.
String EncodeData(const String& data, const String& key, int digits);
// The same with a key prepared once by the caller.
String EncodeData(const String& data, const TCfb8Key& key, int digits);
// The plain text of the CFB-8 ciphertext data under key; empty for empty data.
String DecodeData(const String& data, const String& key);
String DecodeData(const char* data, int n, const TCfb8Key& key);
// The 16 raw bytes of MD5(password); empty for an empty password.
String EncodePswd(const String& password);

// True when `bytes` holds at least SIZELEN_MINIMUM bytes and the length field
// N says that N + 4 bytes or fewer make the packet (all of it has arrived).
bool WholePacketRule(const String& bytes);

// A key text with its prepared cipher and its digest (EncodePswd).
struct TPreparedKey {
    String text;
    TCfb8Key cipher;
    String digest;
};

// The cipher and digest prepared for `password`, kept until the password
// changes: the key schedule and the MD5 are computed once per password (and
// thread), not for every request. Never null. Any thread.
std::shared_ptr<const TPreparedKey> PasswordCipher(const String& password);
