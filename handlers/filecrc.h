// The CRC-32 of a whole file, for "TEST-FileCRC".
#pragma once

#include <cstddef>

#include "core/zostring.h"

// Block size of the checksum reads; files above kCrcReadAheadSize are read
// on a helper thread, a few blocks ahead of the checksum.
const size_t kCrcBlockSize = 256 * 1024;
const long long kCrcReadAheadSize = 4 * 1024 * 1024;

// Computes into Crc the CRC-32 register (TCRC32: started at 0xFFFFFFFF, no
// final complement) over all bytes of the file Name; an empty file gives
// 0xFFFFFFFF. Memory: at most four blocks. Returns true on success. On
// failure returns false, leaves Crc alone and sets Error to "File is not
// specified" (empty Name), "Cannot open file" or "Read error" (also when
// the buffer cannot be allocated). Any thread.
bool GetFileCRC(const String& Name, unsigned int& Crc, String& Error);
