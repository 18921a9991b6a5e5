#include "handlers/scripttests.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/settings.h"
#include "handlers/replies.h"
#include "platform/filepath.h"
#include "platform/process.h"
#include "platform/proctools.h"
#include "platform/requestnotes.h"
#include "platform/requestscope.h"
#include "platform/runningjobs.h"
#include "platform/tempcreate.h"
#include "platform/writeall.h"
#include "protocol/valueforms.h"

namespace {

// A settings script that runs longer than this is killed with its children.
const int kSettingsScriptLimitMs = 60000;
// Output is read in pieces of at most this many bytes: a line ends a piece,
// and a longer line arrives as several.
const int kPieceMax = 511;

// One of the three requests answered by a script named in the settings.
struct TSettingsScript {
    const char* request;  // the request's name, for the log
    const char* key;      // the setting's key, for the log
    int TTEVSettings::*right;
    String TTEVSettings::*script;
    const char* notSpecified;
    const char* missing;
};

const TSettingsScript kProcCnt = {"TEST-Process",
                                  "proccntscript",
                                  &TTEVSettings::process,
                                  &TTEVSettings::proccntscript,
                                  "ProcCnt script is not speified",
                                  "ProcCnt script doesn't exist"};
const TSettingsScript kCpuUsage = {"TEST-CPU",
                                   "cpuusagescript",
                                   &TTEVSettings::cpuusage,
                                   &TTEVSettings::cpuusagescript,
                                   "CPUUsage script is not speified",
                                   "CPUUsage script doesn't exist"};
const TSettingsScript kProcList = {"GetProcessesList",
                                   "proclistscript",
                                   &TTEVSettings::process,
                                   &TTEVSettings::proclistscript,
                                   "ProcList script is not speified",
                                   "ProcList script doesn't exist"};

// A temporary file created by the agent; closed and deleted on destruction.
class TTempFile {
  public:
    TTempFile() = default;
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    ~TTempFile() { Remove(); }

    // CreateTempFile's result: the descriptor, kTempNoName or kTempNotCreated.
    // dir is the `tmpdir` setting (zero-terminated).
    int Create(const char* name, const String& dir) {
        fd = CreateTempFile(name, path, dir.Data());
        return fd;
    }
    void CloseFd() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    void Remove() {
        CloseFd();
        if (path.Length()) RemoveTempFile(path);
        path = "";
    }
    // Back to the start for reading what a child wrote; false on failure.
    bool Rewind() const { return fd >= 0 && lseek(fd, 0, SEEK_SET) == 0; }

    int fd = -1;
    String path;
};

// Reads a descriptor or a text in pieces: each ends after a line feed or
// after kPieceMax bytes, whichever comes first.
class TPieceReader {
  public:
    explicit TPieceReader(int source) : fd(source), data(buf) {}
    explicit TPieceReader(const String& text) : data(text.Data()), len(text.Length()) {}
    // The next piece; false at the end of the file.
    bool Next(String& piece) {
        piece = "";
        while (piece.Length() < kPieceMax) {
            if (pos == len && !Fill()) break;
            int take = len - pos;
            if (take > kPieceMax - piece.Length()) take = kPieceMax - piece.Length();
            int n = 0;
            while (n < take && data[pos + n] != '\n') n++;
            const bool lineEnd = n < take;
            if (lineEnd) n++;
            piece.AddData(data + pos, n);
            pos += n;
            if (lineEnd) break;
        }
        return piece.Length() > 0;
    }

  private:
    bool Fill() {
        if (fd < 0) return false;
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pos = 0;
            len = int(n);
            return true;
        }
    }

    int fd = -1;
    char buf[4096];
    const char* data;
    int pos = 0, len = 0;
};

// Checks the request's right and its script setting; answers the request
// and returns false when either fails.
bool CheckSettingsScript(const TTEVSettings& s, const TSettingsScript& kind, TEVReply& Reply) {
    if (!(s.*kind.right)) {
        ReplyTestNotAllowed(Reply);
        return false;
    }
    const String& script = s.*kind.script;
    if (script.Length() == 0) {
        ReplyMessage(Reply, "301", kind.notSpecified);
        return false;
    }
    if (IsBuiltinScript(script)) return true;
    if (!FileExists(script)) {
        ReplyMessage(Reply, "301", kind.missing);
        return false;
    }
    return true;
}

// Runs script (with the argument arg when not null) without a shell and
// collects its standard output, standard error and descriptor 3 in output:
// a pipe, drained while it runs, costs a fraction of a file created and
// deleted for each request. Answers the request and returns false when the
// script could not be run, ran too long or wrote too much.
bool RunSettingsScript(const TTEVSettings& s, const TSettingsScript& kind, const String* arg,
                       String& output, TEVReply& Reply) {
    const String& script = s.*kind.script;
    AddRequestNote(nkInfo, String(kind.request) + " answered by the program " + script + " (" +
                               kind.key + ")");
    const String tmpDir = ZeroTerminated(s.tmpdir);
    String program = ZeroTerminated(script);
    String argument = arg != nullptr ? ZeroTerminated(*arg) : String();
    char* argv[] = {program.Data(), arg != nullptr ? argument.Data() : nullptr, nullptr};
    TChildFds fds;
    fds.Collect = &output;
    fds.OutCap = kChildOutputCap;
    fds.TmpDir = tmpDir.Data();
    int exitCode = 0;
    String error;
    const int rc = RunProgram(argv, nullptr, fds, kSettingsScriptLimitMs, exitCode, error);
    if (rc == kRunTimedOut) {
        ReplyMessage(Reply, "301", "Script time limit exceeded");
        return false;
    }
    if (rc == kRunOverCap || rc == kRunPeerGone) {
        ReplyMessage(Reply, "301", error);
        return false;
    }
    // A script that ended on a signal may still have written its result;
    // only one that never started has nothing to read.
    if (rc == 0 && error != "abnormal termination") {
        ReplyMessage(Reply, "301", "Cannot execute script");
        return false;
    }
    return true;
}

// Reads one number from the start of a script's output with the scanf
// conversion format ("%d" or "%f") into out; false when it does not start
// with one.
template <typename T>
bool ScanNumber(const String& output, const char* format, T& out) {
    const String text = ZeroTerminated(output);
    return sscanf(text.Data(), format, &out) == 1;
}

// Every non-empty piece of a script's output, each followed by CR LF.
String ReadList(const String& output) {
    String list;
    TPieceReader reader(output);
    String piece;
    while (reader.Next(piece)) {
        if (piece[piece.Length()] == '\n') piece.SetLength(piece.Length() - 1);
        if (piece.Length() == 0) continue;
        list += piece;
        list += "\r\n";
    }
    return list;
}

bool StartsWithScriptres(const String& line) {
    static const char kPrefix[] = "scriptres:";
    const int n = int(sizeof kPrefix) - 1;
    if (line.Length() < n) return false;
    for (int i = 0; i < n; i++)
        if (LoCase(line[i + 1]) != kPrefix[i]) return false;
    return true;
}

// What a shell script printed: the result line and the first budget lines.
struct TScriptOutput {
    String result;
    String lines;
};

// Trimmed non-empty lines: the first `budget` go to lines (each followed by
// CR LF); the result is the first line beginning with "scriptres:", else
// the last line. Reading stops once the result is found and the budget used.
TScriptOutput ReadScriptOutput(int fd, int budget) {
    TScriptOutput out;
    TPieceReader reader(fd);
    String piece;
    bool found = false;
    while (reader.Next(piece)) {
        piece.Trim();
        if (piece.Length() == 0) continue;
        if (budget > 0) {
            out.lines += piece;
            out.lines += "\r\n";
            budget--;
        }
        if (!found) {
            out.result = piece;
            found = StartsWithScriptres(piece);
        }
        if (found && budget <= 0) break;
    }
    return out;
}

// Writes the script text to a new file that only the agent's user can read,
// change and run. Answers the request and returns false on failure.
bool WriteScriptFile(const String& text, const String& tmpDir, TTempFile& file, TEVReply& Reply) {
    const int fd = file.Create(nullptr, tmpDir);
    if (fd == kTempNoName) {
        ReplyMessage(Reply, "301", "Cannot get temp file");
        return false;
    }
    if (fd < 0) {
        ReplyMessage(Reply, "301", "Cannot create temp file");
        return false;
    }
    if (!WriteAll(fd, text)) {
        file.Remove();
        ReplyMessage(Reply, "301", "cannot create temp file");
        return false;
    }
    if (fchmod(fd, 0700) != 0) {
        file.Remove();
        ReplyMessage(Reply, "301", "Cannot set exec flag for script");
        return false;
    }
    // Closed before the start: a file open for writing cannot be executed.
    file.CloseFd();
    return true;
}

// The answer of our process tool for kind, made in-process with the tool's
// own code (platform/proctools.h) when kind's setting is kBuiltinScript:
// sets output to what the tool would print with the argument arg
// (TEST-Process) and returns true. A failure reads as the tool's: nothing
// printed, which the reply takes for "Script error". There is no tool
// process to leave out of a count. False, output untouched, for any other
// setting: that program is started.
bool BuiltinOutput(const TTEVSettings& s, const TSettingsScript& kind, const String* arg,
                   String& output) {
    if (!IsBuiltinScript(s.*kind.script)) return false;
    AddRequestNote(nkInfo,
                   String(kind.request) + " answered in-process (" + kind.key + "=builtin)");
    std::string text;
    if (&kind == &kProcCnt) {
        const String name = ZeroTerminated(*arg);
        if (name.Data()[0] != '\0') ProcCntAnswer(name.Data(), -1, text);
    } else if (&kind == &kCpuUsage) {
        // As the started tool, which gets the settled tmpdir as TMPDIR.
        const String tmp = ZeroTerminated(s.tmpdir);
        CpuUsageAnswer(tmp.Data()[0] != '\0' ? tmp.Data() : "/tmp", text);
    } else {
        ProcListAnswer(text);
    }
    output = String(text.data(), int(text.size()));
    return true;
}

// Seconds to milliseconds, kept within int.
int SecondsToMs(int seconds) {
    if (seconds > INT_MAX / 1000) return INT_MAX;
    if (seconds < INT_MIN / 1000) return INT_MIN;
    return seconds * 1000;
}

}  // namespace

void ProcessTest_Process(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!CheckSettingsScript(*s, kProcCnt, Reply)) return;
    const String name = Req.GetParam(2, 1);
    if (name.Length() == 0) {
        ReplyMessage(Reply, "501", "Name of the process is not specified");
        return;
    }
    String output;
    if (!BuiltinOutput(*s, kProcCnt, &name, output) &&
        !RunSettingsScript(*s, kProcCnt, &name, output, Reply))
        return;
    int count = 0;
    if (!ScanNumber(output, "%d", count)) {
        ReplyMessage(Reply, "301", "Script error");
        return;
    }
    Reply.SetResult("200");
    Reply.AddIntParam(count);
}

void ProcessTest_CPU(const QVRequest&, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!CheckSettingsScript(*s, kCpuUsage, Reply)) return;
    String output;
    if (!BuiltinOutput(*s, kCpuUsage, nullptr, output) &&
        !RunSettingsScript(*s, kCpuUsage, nullptr, output, Reply))
        return;
    float usage = 0;
    if (!ScanNumber(output, "%f", usage)) {
        ReplyMessage(Reply, "301", "Script error");
        return;
    }
    Reply.SetResult("200");
    Reply.AddRealParam(double(usage));
}

void ProcessInfo_ProcessesList(const QVRequest&, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!CheckSettingsScript(*s, kProcList, Reply)) return;
    String output;
    if (!BuiltinOutput(*s, kProcList, nullptr, output) &&
        !RunSettingsScript(*s, kProcList, nullptr, output, Reply))
        return;
    const String list = ReadList(output);
    Reply.SetResult("200");
    Reply.AddStringParam(list, 1);
}

void ProcessTest_External(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->external) {
        ReplyTestNotAllowed(Reply);
        return;
    }
    const String command = ZeroTerminated(Req.GetParam(1, 1));
    int limit = 0;
    if (!tevDecodeInt(Req.GetParam(4, 1), &limit)) {
        ReplyWrongParameter(Reply);
        return;
    }
    if (command.Length() == 0) {
        ReplyMessage(Reply, "501", "Command line to execute is not specified");
        return;
    }
    int exitCode = 0;
    String error;
    const String tmpDir = ZeroTerminated(s->tmpdir);
    // No limit of its own: the request's budget is the limit.
    if (!SystemEx(command.Data(), nullptr, LimitOrBudgetMs(limit), exitCode, error,
                  tmpDir.Data())) {
        ReplyMessage(Reply, "301",
                     limit == 0 && RequestBudgetSpent() ? String(kBudgetReachedText) : error);
        return;
    }
    Reply.SetResult("200");
    Reply.AddIntParam(exitCode);
}

void ProcessTest_ShellScript(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->shellscript) {
        ReplyTestNotAllowed(Reply);
        return;
    }
    const String start = Req.GetParam(1, 1);
    const String text = tevDecodeStrings(Req.GetParam(2, 1)).ReplaceAll("\r\n", "\n", 1);
    const String params = tevDecodeStrings(Req.GetParam(3, 1));
    int limitSeconds = 0;
    int budget = 0;
    if (!tevDecodeIntInRange(Req.GetParam(4, 1), &limitSeconds) ||
        !tevDecodeIntInRange(Req.GetParam(5, 1), &budget)) {
        ReplyWrongParameter(Reply);
        return;
    }
    // No limit of its own: the request's budget is the limit; a longer
    // limit the server sets for its script holds.
    const int limitMs = LimitOrBudgetMs(SecondsToMs(limitSeconds));

    const String tmpDir = ZeroTerminated(s->tmpdir);
    TTempFile script, output;
    if (!WriteScriptFile(text, tmpDir, script, Reply)) return;
    const int outFd = output.Create(nullptr, tmpDir);
    if (outFd < 0) {
        ReplyMessage(Reply, "301",
                     outFd == kTempNoName ? "Cannot get temp file" : "Cannot create temp file");
        return;
    }
    const String scriptPath = ZeroTerminated(script.path);
    const String paramText = ZeroTerminated(params);
    const String command = ZeroTerminated(start.ReplaceAll("%script%", scriptPath.Data(), 0)
                                              .ReplaceAll("%params%", paramText.Data(), 0));
    // The configured pause, rounded up to whole milliseconds.
    if (s->delayforscripts > 0 && PauseForRequest((s->delayforscripts + 999LL) / 1000) < 0) {
        ReplyMessage(Reply, "301", kPeerGoneText);
        return;
    }

    TCommandArgs args;
    SplitCommandLine(command.Data(), args);
    // The output file is the script's input too, as if it had been named
    // for all three streams; it is empty, so reading it ends at once.
    TChildFds fds;
    fds.In = fds.Out = fds.Err = outFd;
    fds.OutCap = kChildOutputCap;
    fds.TmpDir = tmpDir.Data();
    int exitCode = 0;
    String error;
    const int rc = RunProgram(args.Argv, nullptr, fds, limitMs, exitCode, error);
    if (rc == kRunOverCap || rc == kRunPeerGone || (rc == kRunTimedOut && limitSeconds == 0)) {
        ReplyMessage(Reply, "301", rc == kRunTimedOut ? String(kBudgetReachedText) : error);
        return;
    }
    if (rc != 1) {
        ReplyMessage(Reply, "301", String("Script execution error: ") + error);
        return;
    }
    if (!output.Rewind()) {
        ReplyMessage(Reply, "301", "Cannot get script results");
        return;
    }
    const TScriptOutput out = ReadScriptOutput(outFd, budget);
    Reply.SetResult("200");
    Reply.AddStringParam(out.result, 1);
    Reply.AddStringParam(out.lines, 1);
}
