#include "platform/process.h"

// Placeholder until child processes land.
int SystemEx2(const char*, const char*, const char*, const char*, const char*, int, int&,
              String& Error) {
    Error = "fork error";
    return 0;
}

int SystemEx(const char* CommandLine, const char* WorkDir, int Timeout, int& ExitCode,
             String& Error) {
    return SystemEx2(CommandLine, WorkDir, nullptr, nullptr, nullptr, Timeout, ExitCode, Error);
}
