#include "platform/proctools.h"

#include <unistd.h>

#include "platform/cpuusage.h"
#include "platform/proctable.h"

namespace {

const char kProcRoot[] = "/proc";

}  // namespace

bool ProcCntAnswer(std::string_view Name, long SkipPid, std::string& Out) {
    long count = 0;
    if (!CountProcessesNamed(kProcRoot, Name, SkipPid, count)) return false;
    Out += std::to_string(count);
    Out += '\n';
    return true;
}

bool CpuUsageAnswer(const std::string& TmpDir, std::string& Out) {
    TCpuUsageJob job;
    job.ProcRoot = kProcRoot;
    job.SamplePath = CpuSamplePath(TmpDir);
    std::string text;
    TCpuSource source;
    if (!MeasureCpuUsage(job, text, source)) return false;
    Out += text;
    Out += '\n';
    return true;
}

bool ProcListAnswer(std::string& Out) {
    TProcListEnv env;
    env.ProcRoot = kProcRoot;
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    env.ClockTicks = ticks > 0 ? ticks : 100;
    env.PageKb = page >= 1024 ? page / 1024 : 4;
    return ListProcesses(env, Out);
}
