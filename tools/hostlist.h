// The hosts a request goes to when tevctl asks many agents at once: a hosts
// file (--hosts FILE) or a comma-separated list (-H a,b,c).
//
// An entry is "host" or "host:port"; an IPv6 address with a port is written
// "[addr]:port", and an entry with more than one ':' and no brackets is an
// IPv6 address without a port. In a file, everything from a '#' to the end
// of its line is a comment; blanks, tabs and a CR before the line end do
// not count; lines left empty are skipped. Entries keep the order in which
// they are written; an entry written twice is asked twice.
// Pure functions except ReadHostsFile (which reads the file); any thread.
#pragma once

#include <string>
#include <vector>

// One agent to ask: the entry as written (the prefix of its output line),
// the host to connect to and its port.
struct THostEntry {
    std::string text;
    std::string host;
    int port;
};

// Splits one entry (already trimmed) into host and port; port is
// defaultPort when the entry names none. Returns false with error set
// ("invalid port '<p>'", "empty host name", "']' missing") for an entry that
// is not one.
bool SplitHostEntry(const std::string& entry, int defaultPort, THostEntry& out, std::string& error);

// Parses the content of a hosts file named name into hosts (appended).
// Returns false at the first bad entry, error then "<name> line <n>:
// <reason>".
bool ParseHostsText(const std::string& text, const std::string& name, int defaultPort,
                    std::vector<THostEntry>& hosts, std::string& error);

// Parses a comma-separated list (empty items are skipped). Returns false at
// the first bad entry, error then "-H <item>: <reason>".
bool ParseHostsList(const std::string& list, int defaultPort, std::vector<THostEntry>& hosts,
                    std::string& error);

// Reads and parses the hosts file at path. Returns false with error "cannot
// read hosts file <path>: <system's reason>" or ParseHostsText's error.
bool ReadHostsFile(const std::string& path, int defaultPort, std::vector<THostEntry>& hosts,
                   std::string& error);
