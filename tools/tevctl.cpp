// tevctl: sends one request to an agent and prints its reply.
//
//   tevctl [-H host] [-p port] [-w password | -W password-file] [-d | --json]
//          [-t timeout-ms] COMMAND [PARAM ...]
//   tevctl [-H host] [-p port] [-w password | -W password-file]
//          [-t timeout-ms] -U PROGRAM-FILE
//   tevctl [connection options] --plugin [--value N] [--warning RANGE]
//          [--critical RANGE] [--label TEXT] COMMAND [PARAM ...]
//   tevctl --list [COMMAND] | --list-names | --list-roff | --version | --help
//
// Options may stand before or after COMMAND and its parameters, up to a
// "--"; every argument after "--" is COMMAND or a parameter, so a parameter
// that begins with "-" goes there (a negative number after COMMAND need not).
//
// Output: the result code on the first line, then one line per value.
// Exit code: 0 for result "200", 1 for any other result, 2 when no usable
// reply came (refused, timed out, wrong password, bad usage). With --plugin
// it acts as a monitoring plugin instead (tools/plugin.h): one status line,
// exit code 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/catalogue.h"
#include "agent/replyprint.h"
#include "core/agentstatus.h"
#include "platform/nameservices.h"
#include "protocol/clientpacket.h"
#include "protocol/valueforms.h"
#include "tools/cli_args.h"
#include "tools/plugin.h"

namespace {

const char kUsage[] =
    "Usage: tevctl [-H host] [-p port] [-w password | -W password-file] [-d | --json]\n"
    "              [-t timeout-ms] COMMAND [PARAM ...]\n"
    "       tevctl [-H host] [-p port] [-w password | -W password-file]\n"
    "              [-t timeout-ms] -U PROGRAM-FILE\n"
    "       tevctl --list [COMMAND] | --list-names | --version | --help\n"
    "Sends one request to a tev agent and prints the reply: the result code\n"
    "on the first line, then one line per value.\n"
    "  -H host           agent address (default 127.0.0.1)\n"
    "  -p port           agent port (default 1055)\n"
    "  -w password       shared password\n"
    "  -W password-file  read the password from the first line of a file\n"
    "  -d                decode multi-line values (%0D, %0A) before printing\n"
    "  --json            print the reply as one JSON object, values decoded:\n"
    "                    {\"code\":\"200\",\"values\":[...]}\n"
    "  -t timeout-ms     time limit for the whole exchange (default 10000)\n"
    "  -U program-file   upgrade the agent: send the file as its new program\n"
    "                    (UpgradeCode, the file, its digest) and print the verdict\n"
    "  --list [COMMAND]  every request the agent knows (or one): parameters,\n"
    "                    reply values and the setting that allows it\n"
    "  --list-names      one line per request: its name and its parameters' forms\n"
    "  --list-roff       the REQUESTS section of tevctl(1), generated from the same table\n"
    "  --version         print the version\n"
    "  --help            show this text\n"
    "Options may stand before or after COMMAND; arguments after \"--\" are\n"
    "COMMAND and parameters only (a parameter that begins with \"-\" goes there;\n"
    "a negative number after COMMAND need not).\n"
    "Parameters may not hold line breaks; write them as %0A and %0D.\n"
    "Exit code: 0 for result 200, 1 for another result, 2 when no reply came.\n"
    "Example: tevctl -p 1055 -W pw TEST-FileExists /etc/passwd\n"
    "Monitoring plugin mode (one status line, exit code 0 OK, 1 WARNING,\n"
    "2 CRITICAL, 3 UNKNOWN):\n"
    "  --plugin          judge the reply instead of printing it\n"
    "  --value N         value line the thresholds apply to (default 1)\n"
    "  --warning RANGE   warning threshold: 10, 10:, ~:10, 10:20, @10:20\n"
    "  --critical RANGE  critical threshold, same syntax\n"
    "  --label TEXT      performance data label (default: COMMAND and its first\n"
    "                    parameter)\n"
    "Example: tevctl -W pw --plugin --value 2 --critical 1000000000: TEST-UNC /\n";

// What the command line asks for besides a request.
enum TMode { kRequest, kList, kListNames, kListRoff };

struct Options {
    std::string host = "127.0.0.1";
    int port = 1055;
    std::string password;
    bool passwordGiven = false;
    bool decode = false;
    bool json = false;
    int timeoutMs = 10000;
    TMode mode = kRequest;
    String command;
    std::vector<const char*> params;
    const char* upgradeFile = nullptr;  // -U: the new program to send
    PluginArgs plugin;
};

// Prints "tevctl: <what><arg>" and a hint to standard error; returns 2.
int UsageError(const char* what, const char* arg) {
    std::fprintf(stderr, "tevctl: %s%s\nTry 'tevctl --help'.\n", what, arg ? arg : "");
    return 2;
}

// Whole decimal text in [lo, hi]; false otherwise.
bool ParseNumber(const char* s, long lo, long hi, int& out) {
    long v = 0;
    if (!ParseDecimal(s, lo, hi, v)) return false;
    out = int(v);
    return true;
}

// First line of the file, without its trailing CR/LF.
bool ReadPasswordFile(const char* path, std::string& password) {
    FILE* f = std::fopen(path, "re");
    if (!f) return false;
    password.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') password += char(c);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    while (!password.empty() && (password.back() == '\r' || password.back() == '\n'))
        password.pop_back();
    return !failed;
}

// A line break would split an argument into two request lines.
bool HasLineBreak(const char* s) {
    return std::strpbrk(s, "\r\n") != nullptr;
}

// Options that take a value.
bool TakesValue(const std::string& a) {
    return a == "-H" || a == "-p" || a == "-w" || a == "-W" || a == "-t" || a == "-U";
}

// Applies option a with its value v. Returns -1 to go on, otherwise the
// exit code.
int ApplyValueOption(const std::string& a, const char* v, Options& opt) {
    if (a == "-U") {
        opt.upgradeFile = v;
    } else if (a == "-H") {
        opt.host = v;
    } else if (a == "-p") {
        if (!ParseNumber(v, 1, 65535, opt.port)) return UsageError("invalid port ", v);
    } else if (a == "-t") {
        if (!ParseNumber(v, 1, INT_MAX, opt.timeoutMs)) return UsageError("invalid timeout ", v);
    } else if (a == "-w") {
        opt.password = v;
        opt.passwordGiven = true;
    } else if (!ReadPasswordFile(v, opt.password)) {
        std::fprintf(stderr, "tevctl: cannot read password file %s: %s\n", v, std::strerror(errno));
        return 2;
    } else {
        opt.passwordGiven = true;
    }
    return -1;
}

// Applies a flag option. Returns -1 to go on, 0 when it was handled in full
// (help, version), -2 when a is no flag option.
int ApplyFlag(const std::string& a, Options& opt) {
    if (a == "--help" || a == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (a == "--version") {
        std::printf("tevctl %s\n", AgentStatus.AgentVersion);
        return 0;
    }
    if (a == "-d") {
        opt.decode = true;
    } else if (a == "--json") {
        opt.json = true;
    } else if (a == "--list") {
        opt.mode = kList;
    } else if (a == "--list-names") {
        opt.mode = kListNames;
    } else if (a == "--list-roff") {
        opt.mode = kListRoff;
    } else {
        return -2;
    }
    return -1;
}

// Checks the combination of options once all are read. Returns -1 to go on,
// otherwise the exit code.
int CheckCombination(const Options& opt) {
    if (opt.mode != kRequest) return -1;
    if (opt.plugin.judging && !opt.plugin.enabled)
        return UsageError("--value, --warning, --critical and --label need --plugin", nullptr);
    if (opt.json && (opt.plugin.enabled || opt.upgradeFile))
        return UsageError("--json does not go with --plugin or -U", nullptr);
    if (opt.upgradeFile) {
        if (opt.plugin.enabled) return UsageError("-U and --plugin exclude each other", nullptr);
        if (opt.command.Length() > 0) return UsageError("no COMMAND with -U", nullptr);
    } else if (opt.command.Length() == 0) {
        return UsageError("missing COMMAND", nullptr);
    }
    if (!opt.passwordGiven || opt.password.empty()) {
        if (opt.plugin.enabled) {
            std::printf("TEV UNKNOWN - no password given (-w or -W)\n");
            return kPluginUnknown;
        }
        return UsageError("no password given (-w or -W)", nullptr);
    }
    return -1;
}

// Fills opt from argv. Returns -1 to go on, otherwise the exit code.
int ParseArgs(int argc, char** argv, Options& opt) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        // No option looks like a negative number, so after COMMAND one is a
        // parameter without "--".
        const bool negativeNumber = opt.command.Length() > 0 && a.size() > 1 && a[0] == '-' &&
                                    a.find_first_not_of("0123456789", 1) == std::string::npos;
        const bool isOption = !optionsEnded && !negativeNumber && a.size() > 1 && a[0] == '-';
        if (!isOption) {
            if (HasLineBreak(argv[i]))
                return UsageError("line break in argument (write it as %0A/%0D): ", argv[i]);
            if (opt.command.Length() == 0)
                opt.command = argv[i];
            else
                opt.params.push_back(argv[i]);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const int flag = ApplyFlag(a, opt);
        if (flag >= 0) return flag;
        if (flag == -1) continue;
        const int pluginArgs = ParsePluginOption(argc, argv, i, opt.plugin);
        if (pluginArgs < 0) return kPluginUnknown;
        if (pluginArgs > 0) {
            i += pluginArgs - 1;
            continue;
        }
        if (!TakesValue(a)) {
            std::fprintf(stderr,
                         "tevctl: unknown option %s\n(a parameter that begins with '-' goes "
                         "after '--')\nTry 'tevctl --help'.\n",
                         argv[i]);
            return 2;
        }
        if (i + 1 >= argc) return UsageError("missing value for ", argv[i]);
        const int applied = ApplyValueOption(a, argv[++i], opt);
        if (applied >= 0) return applied;
    }
    return CheckCombination(opt);
}

// --list, --list-names, --list-roff: the catalogue, which needs no agent.
int PrintCatalogue(const Options& opt) {
    if (opt.mode == kListNames) {
        std::fputs(CatalogueNames().c_str(), stdout);
        return 0;
    }
    if (opt.mode == kListRoff) {
        std::fputs(CatalogueRoff().c_str(), stdout);
        return 0;
    }
    if (opt.command.Length() == 0) {
        std::fputs(CatalogueText().c_str(), stdout);
        return 0;
    }
    const TCommandDef* c = FindCommand(opt.command);
    if (c) {
        std::fputs(CatalogueEntry(*c).c_str(), stdout);
        return 0;
    }
    String name = opt.command;
    name.SetZero();
    const char* near = NearestCommand(name.Data());
    std::fprintf(stderr, "tevctl: no request named '%s'%s%s%s\n", name.Data(),
                 near ? " (did you mean '" : "", near ? near : "", near ? "'?)" : "");
    return 2;
}

// The whole content of path into data; false with errno set on failure. No
// agent takes a program of 1 GiB, and a String could not hold much more.
bool ReadProgramFile(const char* path, String& data) {
    FILE* f = std::fopen(path, "rbe");
    if (!f) return false;
    char buf[65536];
    size_t n;
    bool tooLarge = false;
    while (!tooLarge && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        tooLarge = data.Length() > (1 << 30);
        if (!tooLarge) data.AddData(buf, int(n));
    }
    const bool failed = std::ferror(f) != 0 || tooLarge;
    if (tooLarge) errno = EFBIG;
    std::fclose(f);
    return !failed;
}

// Sends opt.upgradeFile as the agent's new program; the reply is received
// into reply. Returns -1 to go on with printing it, else the exit code.
int Upgrade(const Options& opt, const String& sessionKey, String& reply) {
    String file, error;
    if (!ReadProgramFile(opt.upgradeFile, file)) {
        std::fprintf(stderr, "tevctl: cannot read %s: %s\n", opt.upgradeFile, std::strerror(errno));
        return 2;
    }
    const int rc = SendUpgrade(opt.host.c_str(), opt.port,
                               String(opt.password.data(), int(opt.password.size())), sessionKey,
                               file, opt.timeoutMs, reply, error);
    if (rc == 1) return -1;
    error.SetZero();
    std::fprintf(stderr, "tevctl: %s:%d: %s\n", opt.host.c_str(), opt.port, error.Data());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
#if TEV_STATIC_PROGRAM
    UseBuiltinNameServices();
#endif
    Options opt;
    const int parsed = ParseArgs(argc, argv, opt);
    if (parsed >= 0) return (opt.plugin.enabled && parsed != 0) ? kPluginUnknown : parsed;
    if (opt.mode != kRequest) return PrintCatalogue(opt);

    TStrList params;
    for (const char* p : opt.params) params.Add(String(p));
    if (opt.plugin.enabled)
        return RunPlugin(opt.plugin, opt.host.c_str(), opt.port,
                         String(opt.password.data(), int(opt.password.size())), opt.timeoutMs,
                         opt.command, params);
    String sessionKey, error;
    if (!NewSessionKey(sessionKey, error)) {
        error.SetZero();
        std::fprintf(stderr, "tevctl: no session key: %s\n", error.Data());
        return 2;
    }
    const String packet = BuildRequestPacket(String(opt.password.data(), int(opt.password.size())),
                                             sessionKey, BuildRequestBody(opt.command, params));
    String reply, body, code;
    const char* host = opt.host.c_str();
    int rc = 1;
    if (opt.upgradeFile) {
        const int failed = Upgrade(opt, sessionKey, reply);
        if (failed >= 0) return failed;
    } else {
        rc = ExchangePacket(host, opt.port, packet, opt.timeoutMs, reply, error);
    }
    if (rc == 0) {
        std::fprintf(stderr, "tevctl: no reply from %s:%d (wrong password or invalid request?)\n",
                     host, opt.port);
        return 2;
    }
    error.SetZero();
    if (rc < 0) {
        std::fprintf(stderr, "tevctl: %s:%d: %s\n", host, opt.port, error.Data());
        return 2;
    }
    TStrList values;
    if (!ParseReplyPacket(reply, sessionKey, body) || !SplitReplyBody(body, code, values)) {
        std::fprintf(stderr, "tevctl: malformed reply from %s:%d\n", host, opt.port);
        return 2;
    }
    const String command = opt.upgradeFile ? String("UpgradeCode") : opt.command;
    return PrintReply("tevctl", command, code, values, opt.decode, opt.json);
}
