// What the build's sanitizers rule out for a test.
#pragma once

// TEV_NO_RLIMIT_AS: the address and thread sanitizers reserve terabytes of
// shadow address space, so a test cannot limit a process's address space
// (RLIMIT_AS) to make its allocations fail.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TEV_NO_RLIMIT_AS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TEV_NO_RLIMIT_AS 1
#endif
#endif
