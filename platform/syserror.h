// The system's text for an error number.
#pragma once

#include "core/zostring.h"

// The system's text for error number err (strerror_r, 1024-byte buffer);
// empty when the C library has none. Any thread.
String GetErrorStr(int err);
