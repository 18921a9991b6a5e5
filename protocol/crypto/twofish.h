// Twofish block cipher (128-bit blocks, keys of 0 to 32 bytes), with the
// key-dependent S-boxes computed in full when a key is prepared, so that one
// block costs only table reads. Every failure here is fatal (Twofish_fatal).
#pragma once

typedef unsigned char Twofish_Byte;
typedef unsigned int Twofish_UInt32;

// A prepared key: the keyed S-boxes combined with the MDS matrix (one table
// per input byte of the g function) and the 40 round-key words.
struct Twofish_key {
    Twofish_UInt32 s[4][256];
    Twofish_UInt32 K[40];
};

// Writes "\nTwofish fatal error: <msg>\nProcess terminated\n" to standard
// error and ends the process with exit code 3.
[[noreturn]] void Twofish_fatal(const char* msg);

// Checks the platform assumptions, builds the fixed q and MDS tables and runs
// the self-test (known answers, iterated sequences, short keys); any failure
// is fatal. Must run before the first key is prepared. Safe to call any
// number of times from any threads: the work is done once.
void Twofish_initialise();

// Key schedule for key_len (0..32) bytes at key; shorter keys are padded with
// zero bytes to 16, 24 or 32. Fatal: "Twofish implementation was not
// initialised." before Twofish_initialise, "Twofish_prepare_key: illegal key
// length" for key_len outside 0..32. Thread-safe for distinct xkey.
void Twofish_prepare_key(const Twofish_Byte key[], int key_len, Twofish_key* xkey);

// One block; p and c may be the same buffer. Thread-safe (xkey is only read).
void Twofish_encrypt(const Twofish_key* xkey, const Twofish_Byte p[16], Twofish_Byte c[16]);
void Twofish_decrypt(const Twofish_key* xkey, const Twofish_Byte c[16], Twofish_Byte p[16]);

// One block held as four 32-bit words, word i being bytes 4i..4i+3 read
// little-endian. Lets a caller that keeps its block in words (cipher
// feedback) avoid byte stores followed by word reads. in and out may alias.
void Twofish_encrypt_words(const Twofish_key* xkey, const Twofish_UInt32 in[4],
                           Twofish_UInt32 out[4]);

// Encrypts nblocks independent blocks, several at a time so that their table
// reads overlap. Block i is read from in + 16 * i and written to
// out + 16 * i; in and out are the same buffer or do not overlap.
void Twofish_encrypt_blocks(const Twofish_key* xkey, const Twofish_Byte* in, Twofish_Byte* out,
                            int nblocks);

// As Twofish_encrypt_blocks, but block i is read from in + in_stride * i, so
// the input blocks may overlap (in_stride 1 walks a byte stream one byte at a
// time, as cipher feedback decryption needs). out does not overlap the input.
void Twofish_encrypt_strided(const Twofish_key* xkey, const Twofish_Byte* in, int in_stride,
                             Twofish_Byte* out, int nblocks);
