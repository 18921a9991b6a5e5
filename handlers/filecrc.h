// The CRC-32 of a whole file, for "TEST-FileCRC".
#pragma once

#include "core/zostring.h"

// Computes into Crc the CRC-32 register (TCRC32: started at 0xFFFFFFFF, no
// final complement) over all bytes of the file Name; an empty file gives
// 0xFFFFFFFF. Reads in kScanBlockSize blocks through one heap buffer.
// Returns true on success. On failure returns false, leaves Crc alone and
// sets Error to "File is not specified" (empty Name), "Cannot open file" or
// "Read error" (also when the buffer cannot be allocated). Any thread.
bool GetFileCRC(const String& Name, unsigned int& Crc, String& Error);
