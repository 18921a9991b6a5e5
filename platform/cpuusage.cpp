#include "platform/cpuusage.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "platform/clock.h"
#include "platform/procread.h"
#include "platform/randombytes.h"
#include "platform/writeall.h"

namespace {

// The first line of /proc/stat fits easily: "cpu" and ten numbers.
const size_t kStatHead = 512;
// A sample file is one short line; anything longer is not ours.
const size_t kSampleMax = 256;
const char kSampleTag[] = "tev-cpuusage";
const char kSampleVersion[] = "1";
const char kNoBootId[] = "-";
// Names tried for the new sample file when one is taken.
const int kCreateAttempts = 4;

long long MonoNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Splits off the next word (blanks before it skipped) from text.
std::string_view NextWord(std::string_view& text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) at++;
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') end++;
    const std::string_view word = text.substr(at, end - at);
    text.remove_prefix(end);
    return word;
}

bool IsBootIdText(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) return false;
    return true;
}

// The kernel's id of this boot, so a sample from before a reboot is never
// used; "-" when it cannot be read.
std::string ReadBootId(const char* ProcRoot) {
    const std::string path = std::string(ProcRoot) + "/sys/kernel/random/boot_id";
    char buf[80];
    const ssize_t n = ReadProcFile(AT_FDCWD, path.c_str(), buf, sizeof buf);
    std::string_view id(buf, n > 0 ? size_t(n) : 0);
    if (!id.empty() && id.back() == '\n') id.remove_suffix(1);
    return IsBootIdText(id) ? std::string(id) : std::string(kNoBootId);
}

// "tev-cpuusage 1 BOOTID MONO BUSY TOTAL\n"
std::string FormatSample(const TCpuSample& s) {
    char buf[kSampleMax];
    snprintf(buf, sizeof buf, "%s %s %s %lld %llu %llu\n", kSampleTag, kSampleVersion,
             s.BootId.c_str(), s.MonoNs, s.Counters.Busy, s.Counters.Total);
    return buf;
}

bool ParseSample(std::string_view text, TCpuSample& out) {
    if (text.empty() || text.back() != '\n') return false;
    text.remove_suffix(1);
    const std::string_view tag = NextWord(text), version = NextWord(text), boot = NextWord(text),
                           mono = NextWord(text), busy = NextWord(text), total = NextWord(text);
    TCpuSample s;
    unsigned long long monoNs = 0;
    if (tag != kSampleTag || version != kSampleVersion || !NextWord(text).empty() ||
        !(boot == kNoBootId || IsBootIdText(boot)) || !ParseProcNumber(mono, monoNs) ||
        !ParseProcNumber(busy, s.Counters.Busy) || !ParseProcNumber(total, s.Counters.Total) ||
        s.Counters.Busy > s.Counters.Total)
        return false;
    s.BootId = std::string(boot);
    s.MonoNs = (long long)monoNs;
    out = s;
    return true;
}

// A new file beside Path with a name nobody can guess ahead; its descriptor
// and name, or -1.
int CreateBeside(const std::string& Path, std::string& Name) {
    for (int attempt = 0; attempt < kCreateAttempts; attempt++) {
        unsigned long long r = 0;
        if (RandomBytes(&r, sizeof r, GRND_NONBLOCK) != 0)
            r = ((unsigned long long)getpid() << 32) ^ (unsigned long long)MonoNs();
        char suffix[40];
        snprintf(suffix, sizeof suffix, ".%016llx.tmp", r);
        Name = Path + suffix;
        const int fd =
            open(Name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST && errno != EINTR) return -1;
    }
    return -1;
}

// A kept sample is usable against a reading of now when it comes from this
// boot and neither its time nor its counters are ahead of now.
bool Usable(const TCpuSample& s, const std::string& bootId, long long nowNs,
            const TCpuCounters& now) {
    return s.BootId == bootId && s.MonoNs <= nowNs && s.Counters.Busy <= now.Busy &&
           s.Counters.Total <= now.Total;
}

}  // namespace

bool ReadCpuCounters(const char* ProcRoot, TCpuCounters& Out) {
    const std::string path = std::string(ProcRoot) + "/stat";
    char buf[kStatHead];
    const ssize_t n = ReadProcFile(AT_FDCWD, path.c_str(), buf, sizeof buf);
    if (n <= 0) return false;
    std::string_view line(buf, size_t(n));
    const size_t eol = line.find('\n');
    if (eol == std::string_view::npos) return false;
    line = line.substr(0, eol);
    if (NextWord(line) != "cpu") return false;
    // user nice system idle iowait irq softirq steal
    unsigned long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int got = 0;
    for (; got < 8; got++) {
        const std::string_view word = NextWord(line);
        if (word.empty()) break;
        if (!ParseProcNumber(word, v[got])) return false;
    }
    if (got < 4) return false;
    const unsigned long long busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
    Out.Busy = busy;
    Out.Total = busy + v[3] + v[4];
    return true;
}

std::string CpuShareText(const TCpuCounters& From, const TCpuCounters& To) {
    if (To.Total <= From.Total) return "0.0";
    const unsigned long long total = To.Total - From.Total;
    unsigned long long busy = To.Busy > From.Busy ? To.Busy - From.Busy : 0;
    if (busy > total) busy = total;
    const unsigned long long tenths = (busy * 1000 + total / 2) / total;
    char buf[32];
    snprintf(buf, sizeof buf, "%llu.%llu", tenths / 10, tenths % 10);
    return buf;
}

std::string CpuSamplePath(const std::string& TmpDir) {
    const std::string dir = TmpDir.empty() ? std::string(".") : TmpDir;
    const char* sep = dir.back() == '/' ? "" : "/";
    return dir + sep + "tev-cpuusage-" + std::to_string(geteuid()) + ".sample";
}

bool LoadCpuSample(const std::string& Path, TCpuSample& Out) {
    const int fd = open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        return false;
    }
    char buf[kSampleMax];
    size_t len = 0;
    while (len < sizeof buf) {
        const ssize_t n = read(fd, buf + len, sizeof buf - len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        len += size_t(n);
    }
    close(fd);
    return len < sizeof buf && ParseSample(std::string_view(buf, len), Out);
}

bool SaveCpuSample(const std::string& Path, const TCpuSample& Sample) {
    std::string name;
    const int fd = CreateBeside(Path, name);
    if (fd < 0) return false;
    const std::string text = FormatSample(Sample);
    const bool written = WriteAll(fd, text.data(), text.size());
    const bool closed = close(fd) == 0;
    if (written && closed && rename(name.c_str(), Path.c_str()) == 0) return true;
    unlink(name.c_str());
    return false;
}

bool MeasureCpuUsage(const TCpuUsageJob& Job, std::string& Text, TCpuSource& Source) {
    TCpuCounters now;
    if (!ReadCpuCounters(Job.ProcRoot, now)) return false;
    const long long nowNs = MonoNs();
    const std::string bootId = ReadBootId(Job.ProcRoot);
    TCpuSample kept;
    const bool usable = LoadCpuSample(Job.SamplePath, kept) && Usable(kept, bootId, nowNs, now);
    if (usable && nowNs - kept.MonoNs >= Job.MinAgeMs * 1000000LL) {
        Text = CpuShareText(kept.Counters, now);
        Source = TCpuSource::Sample;
        SaveCpuSample(Job.SamplePath, TCpuSample{bootId, nowNs, now});
        return true;
    }
    SleepMs(Job.WaitMs);
    TCpuCounters later;
    if (!ReadCpuCounters(Job.ProcRoot, later)) return false;
    Text = CpuShareText(now, later);
    if (usable) {
        Source = TCpuSource::WaitedKeptOld;
    } else {
        Source = TCpuSource::Waited;
        SaveCpuSample(Job.SamplePath, TCpuSample{bootId, MonoNs(), later});
    }
    return true;
}
