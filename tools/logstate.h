// The read position of a text log check kept in a file between runs
// (tevctl --state FILE), so that a scheduler that starts the client anew for
// every check can watch a log as the monitoring server does: the watch state
// of "TEST-TextLog" (parameters 3 to 5) and "TEST-TextLog2" (parameters 2 to
// 4) is taken from the file for the request and the state the reply returns
// (value lines 4 to 6: position, lastSize, lastAge) is written back.
//
// The file holds key=value lines:
//   check=<request> <parameter 1>
//   position=<n>
//   lastsize=<n>
//   lastage=<n>
// A file that does not exist yet, or that was written for another request
// or another log file (check differs), starts the watch afresh (0 0 0: the
// agent then only notes the end of the log). The file is replaced
// crash-safely (platform/filereplace.h): after a crash it holds the old
// state or the new one, whole.
// Reads and writes the file only; any thread (two runs must not share a
// file at the same moment: the last one to finish wins).
#pragma once

#include <string>
#include <vector>

#include "core/zostring.h"

// True for the requests that carry a watch state.
bool HasLogState(const String& command);

// Puts the state kept in path into params (the request's parameters,
// filled up with empty ones as far as needed) for command. Returns true
// when the file was used or does not exist; false with error "state file
// <path>: <system's reason>" or "state file <path>: line <n> is not
// <key>=<number>" when it cannot be read or is damaged.
bool LoadLogState(const std::string& path, const String& command, std::vector<String>& params,
                  std::string& error);

// Writes the state of a "200" reply's values (lines 4 to 6) for command
// and params into path. Returns false with error "state file <path>:
// <reason>" when the values are not numbers or the file cannot be
// replaced.
bool SaveLogState(const std::string& path, const String& command, const std::vector<String>& params,
                  const std::vector<String>& values, std::string& error);
