// Random bytes from the kernel, on every kernel the agent runs on.
#pragma once

#include <stddef.h>

// Fills buf with len random bytes: getrandom(2) with Flags (0 or
// GRND_NONBLOCK), or, on a kernel without it (before 3.17), a read of
// /dev/urandom, which never blocks. Returns 0, or the errno of the failure
// (EAGAIN for GRND_NONBLOCK while the kernel's pool is not ready yet).
// Retries interrupted and short reads. Any thread; no allocation.
int RandomBytes(void* buf, size_t len, unsigned Flags);
