// Writing a whole buffer to a descriptor.
#pragma once

#include <cstddef>

#include "core/zostring.h"

// Writes size bytes from data to fd, resuming after short writes and after
// interruptions by signals (EINTR). Returns true when every byte was
// written, false on the first other failure (errno tells which) or when
// write reports no progress; how much was written then is unspecified.
// Any thread; takes no lock and allocates nothing.
bool WriteAll(int fd, const char* data, size_t size);

// The same for the bytes of a String.
inline bool WriteAll(int fd, const String& data) {
    return WriteAll(fd, data.Data(), size_t(data.Length()));
}
