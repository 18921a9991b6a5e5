// TCRC32: the CRC-32 of ISO 3309 / ITU-T V.42 (reflected polynomial
// 0xEDB88320), register started at 0xFFFFFFFF and reported without the final
// complement. "123456789" therefore reads 0x340BC6D9, the complement of the
// usual check value 0xCBF43926. File checksums compared by the monitoring
// server are in this form, so it must not change.
#pragma once

class TCRC32 {
  public:
    // Builds the byte table and starts a new checksum (InitCRC).
    TCRC32();

    // Register = 0xFFFFFFFF.
    void InitCRC();

    // One table step for the byte b (taken as 0..255):
    // register = table[(register ^ b) & 0xFF] ^ (register >> 8).
    void UpdateCRC(unsigned char b);

    // The same as UpdateCRC(unsigned char) for each of the n bytes at p, in
    // order, but computed many bytes at a time. n = -1 takes the bytes up to
    // the terminating zero; p null or n <= 0 (other than -1) changes nothing.
    void UpdateCRC(const char* p, int n);

    // The register as it stands: no final complement.
    unsigned int GetCRC() const { return fRegister; }

    // InitCRC, UpdateCRC(p, n), GetCRC.
    unsigned int GetBlockCRC(const char* p, int n);

    // Thread-safety: an object is used by one thread at a time; distinct
    // objects are independent.

  private:
    unsigned int fTable[256];
    unsigned int fRegister;
};
