// The CRC-32 of a whole file, for "TEST-FileCRC".
#pragma once

#include <cstddef>

#include "core/zostring.h"

// Block size of the checksum reads. A file larger than kCrcSplitSize is
// checksummed in two halves at once, the second on a helper thread, and
// the two registers are joined; a checksum then costs about what reading
// the file costs.
const size_t kCrcBlockSize = 256 * 1024;
const long long kCrcSplitSize = 4 * 1024 * 1024;

// Computes into Crc the CRC-32 register (TCRC32: started at 0xFFFFFFFF, no
// final complement) over all bytes of the file Name; an empty file gives
// 0xFFFFFFFF. Memory: two blocks at most. Returns true on success. On
// failure returns false, leaves Crc alone and sets Error to "File is not
// specified" (empty Name), "Cannot open file" or "Read error" (also when a
// buffer cannot be allocated). Any thread.
bool GetFileCRC(const String& Name, unsigned int& Crc, String& Error);

// The register after the bytes A and then B, from the register after A
// alone (RegA), the register after B alone (RegB, started at 0xFFFFFFFF)
// and the length of B.
unsigned int JoinCRC(unsigned int RegA, unsigned int RegB, long long LengthB);
