// The machine's CPU usage without a wait on every call: the busy and total
// clock ticks of /proc/stat are kept with a monotonic time stamp in a small
// sample file, and the next call reports the busy share since that sample.
// A call without a usable sample, or with one younger than a second,
// measures over a short wait instead.
//
// The sample file lives in a directory other users may write to (the
// agent's temporary directory, /tmp at worst), so it is trusted only when it
// is a regular file of the caller's own user that nobody else may write, it
// is read without following a link, and it is replaced by creating a new
// file exclusively (0600, O_EXCL|O_NOFOLLOW) and renaming it over the old
// one. Anything else found under its name is ignored.
#pragma once

#include <string>

// Clock ticks since boot of all processors: busy is everything but idle and
// I/O wait.
struct TCpuCounters {
    unsigned long long Busy = 0;
    unsigned long long Total = 0;
};

// Reads the first line of <ProcRoot>/stat ("cpu user nice system idle
// iowait irq softirq steal ..."; fields after idle may be missing and count
// as 0). Returns false, Out untouched, when it cannot be read or parsed.
bool ReadCpuCounters(const char* ProcRoot, TCpuCounters& Out);

// The busy share of the ticks from From to To in percent, rounded to one
// decimal: "12.5". "0.0" when no tick passed; a busy count that went
// backwards counts as 0, one larger than the total as the total. Pure.
std::string CpuShareText(const TCpuCounters& From, const TCpuCounters& To);

// One reading kept between calls.
struct TCpuSample {
    std::string BootId;    // <root>/sys/kernel/random/boot_id; "-" when unknown
    long long MonoNs = 0;  // CLOCK_MONOTONIC when read
    TCpuCounters Counters;
};

// The sample file's path: <TmpDir>/tev-cpuusage-<effective uid>.sample.
std::string CpuSamplePath(const std::string& TmpDir);

// Reads the sample file Path. Returns false, Out untouched, when it is
// missing, a symbolic link or anything but a regular file, owned by another
// user, writable by group or others, or does not hold exactly one sample in
// the form SaveCpuSample writes.
bool LoadCpuSample(const std::string& Path, TCpuSample& Out);

// Writes Sample to a new file beside Path (mode 0600, created exclusively,
// never through a link) and renames it over Path. Returns false when that
// fails (a directory or another user's file in a sticky directory under
// that name, a full disk); the new file is then removed.
bool SaveCpuSample(const std::string& Path, const TCpuSample& Sample);

// What MeasureCpuUsage works on.
struct TCpuUsageJob {
    const char* ProcRoot = "/proc";
    std::string SamplePath;     // CpuSamplePath of the temporary directory
    int WaitMs = 250;           // measuring wait without a usable sample
    long long MinAgeMs = 1000;  // a younger sample is not used
};

// How MeasureCpuUsage came to its figure.
enum class TCpuSource {
    Sample,         // since the kept sample, which the new reading replaced
    Waited,         // over WaitMs; the new reading became the kept sample
    WaitedKeptOld,  // over WaitMs, as the kept sample was too young; kept
};

// The busy share in percent (CpuShareText) since the kept sample when it
// is usable (same boot, counters and time not ahead of now) and at least
// MinAgeMs old, otherwise over a wait of WaitMs. The sample is replaced by
// the new reading unless it was kept for being too young; a failure to save
// it changes nothing else. Returns false, Text untouched, only when the
// counters cannot be read. Any thread; concurrent calls each report a sound
// figure, and the last to rename its sample wins.
bool MeasureCpuUsage(const TCpuUsageJob& Job, std::string& Text, TCpuSource& Source);
