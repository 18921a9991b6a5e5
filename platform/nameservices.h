// Name services of a static program. A statically linked glibc program still
// loads the host's NSS modules (libnss_*.so.2) for every service of
// /etc/nsswitch.conf beyond the two inside the C library ("files" and
// "dns"); those modules are built for the host's glibc, not the one linked
// into the program, and may crash it. The static programs therefore call
// UseBuiltinNameServices first thing in main.
#pragma once

// Makes the name lookups of this process use only the services inside the
// C library, whatever /etc/nsswitch.conf names: "files dns" for hosts,
// "files" for passwd, group, initgroups, services and protocols. Call it
// before any lookup and before a second thread starts (glibc keeps the
// choice in process-wide state). Never fails: a database the C library
// does not know is left alone. Not thread-safe; once per process.
void UseBuiltinNameServices();
