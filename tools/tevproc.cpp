// tevproc: the agent's process count, CPU usage and process list, read from
// /proc without a shell. One program under three names (the name it is
// started by picks the answer), or named as the first argument:
//
//   proccnt NAME   the number of processes called NAME
//   cpuusage       the busy share of all processors in percent, "12.5",
//                  since the previous call (at least a second ago), else
//                  over a quarter of a second; the last reading is kept in
//                  $TMPDIR (else /tmp)
//   proclist       one line per process: PID USER CPU RSS COMMAND
//
// They answer as the example scripts in etc/scripts do, and as the agent
// itself does when a setting names "builtin" (the same platform/proctools
// code). Exit codes: 0 with
// the answer on standard output; 1 when /proc cannot be read or the answer
// cannot be written (nothing is printed then); 2 for a wrong call (a usage
// line on standard error).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/nameservices.h"
#include "platform/proctools.h"
#include "platform/writeall.h"

namespace {

// Writes text to standard output; false when not all of it could be.
bool WriteOut(const std::string& text) {
    return WriteAll(STDOUT_FILENO, text.data(), text.size());
}

int Usage(const char* line) {
    fprintf(stderr, "usage: %s\n", line);
    return 2;
}

int ProcCnt(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') return Usage("proccnt NAME");
    std::string out;
    if (!ProcCntAnswer(argv[1], long(getpid()), out)) return 1;
    return WriteOut(out) ? 0 : 1;
}

int CpuUsage(int, char**) {
    const char* tmp = getenv("TMPDIR");
    std::string out;
    if (!CpuUsageAnswer(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp", out)) return 1;
    return WriteOut(out) ? 0 : 1;
}

int ProcList(int, char**) {
    std::string out;
    if (!ProcListAnswer(out)) return 1;
    return WriteOut(out) ? 0 : 1;
}

struct TTool {
    const char* name;
    int (*run)(int argc, char** argv);
};

const TTool kTools[] = {
    {"proccnt", ProcCnt},
    {"cpuusage", CpuUsage},
    {"proclist", ProcList},
};

const TTool* FindTool(const char* name) {
    for (const TTool& t : kTools)
        if (strcmp(t.name, name) == 0) return &t;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
#if TEV_STATIC_PROGRAM
    UseBuiltinNameServices();
#endif
    if (argc < 1) return 2;
    const char* slash = strrchr(argv[0], '/');
    const TTool* tool = FindTool(slash != nullptr ? slash + 1 : argv[0]);
    if (tool == nullptr && argc >= 2) {
        tool = FindTool(argv[1]);
        argc--;
        argv++;
    }
    if (tool == nullptr) return Usage("tevproc proccnt NAME | cpuusage | proclist");
    return tool->run(argc, argv);
}
