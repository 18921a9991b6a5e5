// MD5 (RFC 1321), 16-byte digest. Used for the password proof carried in
// every request packet.
#pragma once

// One digest in progress. Thread-safety: one thread at a time per record.
struct MD5Context {
    unsigned int state[4];     // chaining words
    unsigned long long count;  // message length in bits
    unsigned char buffer[64];  // bytes of the block not yet complete
};

// Starts a digest in ctx.
void MD5Open(MD5Context* ctx);
// Adds the len bytes at data (data may be null when len is 0).
void MD5Digest(MD5Context* ctx, const void* data, unsigned long len);
// Writes the 16 digest bytes (RFC 1321 order) to digest and clears ctx; the
// record must be opened again before further use.
void MD5Close(MD5Context* ctx, unsigned char digest[16]);
