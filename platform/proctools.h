// The answers of tev's process tools (tools/tevproc.cpp) as the text they
// print on standard output. The tools print these, and the agent makes the
// same text in-process when a setting says "builtin" (config/settingsrecord.h),
// so both give one answer from one piece of code.
#pragma once

#include <string>
#include <string_view>

// proccnt NAME: the number of processes called Name (CountProcessesNamed on
// /proc, leaving out the process SkipPid; -1: none) and a line feed,
// appended to Out. False, Out untouched, when /proc cannot be read.
bool ProcCntAnswer(std::string_view Name, long SkipPid, std::string& Out);

// cpuusage: the busy share of all processors in percent with one decimal
// and a line feed ("12.5\n"), appended to Out; measured since the sample
// kept in TmpDir (MeasureCpuUsage on /proc). False, Out untouched, when the
// counters cannot be read.
bool CpuUsageAnswer(const std::string& TmpDir, std::string& Out);

// proclist: one line per process (ListProcesses on /proc with this
// machine's clock ticks and page size), appended to Out. False, Out
// untouched, when /proc cannot be read.
bool ProcListAnswer(std::string& Out);
