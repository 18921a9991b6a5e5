// The agent's own configuration file as the client's credentials (tevctl
// -c /etc/tev/tev.cfg): where the agent listens and its password, read with
// the agent's own loader (config/cfgfile.h), so the file means to the client
// what it means to the agent (CR LF line ends, blanks around keys and
// values, comments, the first port of the file).
#pragma once

#include <string>
#include <vector>

// What a client needs to reach the agent configured by a file.
struct TAgentAddress {
    std::string host;  // "host" of the file; 127.0.0.1 for empty or 0.0.0.0
    int port = 0;
    std::string password;
};

// Reads the configuration file at path into out. Returns true when it was
// read and names a port and a password; warnings then holds the loader's
// lines for numbers it refused (other than the port). Returns false with
// error set to one of
//   "cannot read configuration file <path>: <system's reason>"
//   "<path>: <the loader's refusal of the port>"
//   "<path> names no port" / "<path> names no password".
// Any thread; reads the file, changes nothing.
bool ReadAgentAddress(const std::string& path, TAgentAddress& out,
                      std::vector<std::string>& warnings, std::string& error);
