// tevctl: sends one request to an agent, or to many at once, and prints the
// reply.
//
//   tevctl [-H host] [-p port] [-w password | -W password-file | -c cfg-file]
//          [-d | --json] [-t timeout-ms] COMMAND [PARAM ...]
//   tevctl {--hosts FILE | -H host,host,...} [--parallel N] [-p port]
//          [-w password | -W password-file | -c cfg-file] [--json]
//          [-t timeout-ms] COMMAND [PARAM ...]
//   tevctl [-H host] [-p port] [-w password | -W password-file]
//          [-t timeout-ms] -U PROGRAM-FILE
//   tevctl [connection options] --plugin [--value N] [--warning RANGE]
//          [--critical RANGE] [--label TEXT] [--state FILE] COMMAND [PARAM ...]
//   tevctl --list [COMMAND] | --list-names | --list-roff | --version | --help
//
// Options may stand before or after COMMAND and its parameters, up to a
// "--"; every argument after "--" is COMMAND or a parameter, so a parameter
// that begins with "-" goes there (a negative number after COMMAND need not).
//
// Output: the result code on the first line, then one line per value; with
// --json one object (tools/replyjson.h). With several hosts one line per
// host in the order given, prefixed with the host, and a summary on
// standard error (tools/fleet.h).
// Exit code: 0 for result "200" (from every host), 1 for any other result,
// 2 when no usable reply came (from any host; refused, timed out, wrong
// password, bad usage). With --plugin
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
#include "tools/agentcfg.h"
#include "tools/cli_args.h"
#include "tools/fleet.h"
#include "tools/hostlist.h"
#include "tools/plugin.h"
#include "tools/replyjson.h"

namespace {

const char kUsage[] =
    "Usage: tevctl [-H host] [-p port] [-w password | -W password-file | -c cfg-file]\n"
    "              [-d | --json] [-t timeout-ms] COMMAND [PARAM ...]\n"
    "       tevctl {--hosts FILE | -H host,host,...} [--parallel N] [-p port]\n"
    "              [-w password | -W password-file | -c cfg-file] [--json]\n"
    "              [-t timeout-ms] COMMAND [PARAM ...]\n"
    "       tevctl [-H host] [-p port] [-w password | -W password-file]\n"
    "              [-t timeout-ms] -U PROGRAM-FILE\n"
    "       tevctl --list [COMMAND] | --list-names | --version | --help\n"
    "Sends one request to a tev agent and prints the reply: the result code\n"
    "on the first line, then one line per value.\n"
    "  -H host           agent address (default 127.0.0.1); host:port and a\n"
    "                    comma-separated list ask several agents\n"
    "  -p port           agent port (default 1055)\n"
    "  -w password       shared password\n"
    "  -W password-file  read the password from the first line of a file\n"
    "  -c cfg-file       take port, password and listening address from the\n"
    "                    agent's configuration file (-H, -p, -w, -W win)\n"
    "  --hosts FILE      ask every agent of FILE (host or host:port a line,\n"
    "                    # comments): one line per host, in the file's order\n"
    "  --parallel N      agents asked at once with several hosts (default 32)\n"
    "  -d                decode multi-line values (%0D, %0A) before printing\n"
    "  --json            print the reply as one JSON object, values by name:\n"
    "                    {\"host\":...,\"request\":...,\"code\":\"200\",\"values\":{...}}\n"
    "  -t timeout-ms     time limit for the exchange with one agent (default 10000)\n"
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
    "Exit code: 0 for result 200 (from every host), 1 for another result, 2 when\n"
    "no reply came (from any host).\n"
    "Example: tevctl -p 1055 -W pw TEST-FileExists /etc/passwd\n"
    "Monitoring plugin mode (one status line, exit code 0 OK, 1 WARNING,\n"
    "2 CRITICAL, 3 UNKNOWN):\n"
    "  --plugin          judge the reply instead of printing it\n"
    "  --value N         value line the thresholds apply to (default 1)\n"
    "  --warning RANGE   warning threshold: 10, 10:, ~:10, 10:20, @10:20\n"
    "  --critical RANGE  critical threshold, same syntax\n"
    "  --label TEXT      performance data label (default: COMMAND and the\n"
    "                    parameter that tells two checks apart)\n"
    "  --state FILE      keep the read position of TEST-TextLog(2) in FILE\n"
    "Example: tevctl -W pw --plugin --value 2 --critical 1000000000: TEST-UNC /\n";

// What the command line asks for besides a request.
enum TMode { kRequest, kList, kListNames, kListRoff };

struct Options {
    std::string host = "127.0.0.1";
    bool hostGiven = false;
    int port = 1055;
    bool portGiven = false;
    std::string password;
    bool passwordGiven = false;
    std::string cfgFile;    // -c: the agent's configuration file
    std::string hostsFile;  // --hosts
    std::string hostList;   // -H with a ',' in it
    int parallel = 32;
    bool decode = false;
    bool json = false;
    int timeoutMs = 10000;
    TMode mode = kRequest;
    String command;
    std::vector<const char*> params;
    const char* upgradeFile = nullptr;  // -U: the new program to send
    PluginArgs plugin;
};

std::string ToStdString(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

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
    return a == "-H" || a == "-p" || a == "-w" || a == "-W" || a == "-t" || a == "-U" ||
           a == "-c" || a == "--hosts" || a == "--parallel";
}

// Applies option a with its value v. Returns -1 to go on, otherwise the
// exit code.
int ApplyValueOption(const std::string& a, const char* v, Options& opt) {
    if (a == "-U") {
        opt.upgradeFile = v;
    } else if (a == "-H") {
        if (std::strchr(v, ',')) {
            opt.hostList = v;
        } else {
            opt.host = v;
            opt.hostGiven = true;
        }
    } else if (a == "-c") {
        opt.cfgFile = v;
    } else if (a == "--hosts") {
        opt.hostsFile = v;
    } else if (a == "--parallel") {
        if (!ParseNumber(v, 1, 4096, opt.parallel)) return UsageError("invalid --parallel ", v);
    } else if (a == "-p") {
        if (!ParseNumber(v, 1, 65535, opt.port)) return UsageError("invalid port ", v);
        opt.portGiven = true;
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

bool ManyHosts(const Options& opt) {
    return !opt.hostsFile.empty() || !opt.hostList.empty();
}

// Checks the options that ask several hosts. Returns -1 to go on, otherwise
// the exit code.
int CheckManyHosts(const Options& opt) {
    if (!ManyHosts(opt)) return -1;
    if (!opt.hostsFile.empty() && (!opt.hostList.empty() || opt.hostGiven))
        return UsageError("--hosts and -H exclude each other", nullptr);
    if (opt.plugin.enabled || opt.upgradeFile)
        return UsageError("several hosts do not go with --plugin or -U", nullptr);
    if (opt.decode)
        return UsageError("-d does not go with several hosts (--json decodes the values)", nullptr);
    return -1;
}

// Checks the combination of options once all are read. Returns -1 to go on,
// otherwise the exit code.
int CheckCombination(const Options& opt) {
    if (opt.mode != kRequest) return -1;
    if (opt.plugin.judging && !opt.plugin.enabled)
        return UsageError("--value, --warning, --critical, --label and --state need --plugin",
                          nullptr);
    const int many = CheckManyHosts(opt);
    if (many >= 0) return many;
    if (opt.json && (opt.plugin.enabled || opt.upgradeFile))
        return UsageError("--json does not go with --plugin or -U", nullptr);
    if (opt.upgradeFile) {
        if (opt.plugin.enabled) return UsageError("-U and --plugin exclude each other", nullptr);
        if (opt.command.Length() > 0) return UsageError("no COMMAND with -U", nullptr);
    } else if (opt.command.Length() == 0) {
        return UsageError("missing COMMAND", nullptr);
    }
    return -1;
}

// Takes what -H, -p, -w and -W left open from the agent's configuration
// file (-c), then checks that there is a password. Returns -1 to go on,
// otherwise the exit code.
int ApplyConfigFile(Options& opt) {
    if (!opt.cfgFile.empty()) {
        TAgentAddress agent;
        std::vector<std::string> warnings;
        std::string error;
        if (!ReadAgentAddress(opt.cfgFile, agent, warnings, error)) {
            if (opt.plugin.enabled) {
                std::printf("TEV UNKNOWN - %s\n", error.c_str());
                return kPluginUnknown;
            }
            std::fprintf(stderr, "tevctl: %s\n", error.c_str());
            return 2;
        }
        for (const std::string& w : warnings) std::fprintf(stderr, "tevctl: %s\n", w.c_str());
        if (!opt.hostGiven) opt.host = agent.host;
        if (!opt.portGiven) opt.port = agent.port;
        if (!opt.passwordGiven) {
            opt.password = agent.password;
            opt.passwordGiven = true;
        }
    }
    if (!opt.passwordGiven || opt.password.empty()) {
        if (opt.plugin.enabled) {
            std::printf("TEV UNKNOWN - no password given (-w, -W or -c)\n");
            return kPluginUnknown;
        }
        return UsageError("no password given (-w, -W or -c)", nullptr);
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

// One line per host for the plain output: the host as written, the result
// code and the values as they travel (multi-line form), separated by tabs;
// a tab inside a value becomes a blank so that the fields stay apart.
std::string HostLine(const THostEntry& h, const THostOutcome& o) {
    std::string line = h.text + "\t";
    if (o.rc != 1) return line + "-\tno reply: " + o.error;
    line += ToStdString(o.code);
    for (const String& value : o.values) {
        std::string v = ToStdString(value);
        for (char& ch : v)
            if (ch == '\t') ch = ' ';
        line += "\t" + v;
    }
    return line;
}

// Asks every host of the list and prints one line (or JSON object) per
// host, then the summary. Returns the exit code.
int RunMany(const Options& opt, const std::vector<String>& params) {
    std::vector<THostEntry> hosts;
    std::string error;
    const bool parsed = opt.hostsFile.empty()
                            ? ParseHostsList(opt.hostList, opt.port, hosts, error)
                            : ReadHostsFile(opt.hostsFile, opt.port, hosts, error);
    if (!parsed) {
        std::fprintf(stderr, "tevctl: %s\n", error.c_str());
        return 2;
    }
    if (hosts.empty()) {
        std::fprintf(stderr, "tevctl: no host in %s\n",
                     opt.hostsFile.empty() ? "-H" : opt.hostsFile.c_str());
        return 2;
    }
    const TFleetRequest req{String(opt.password.data(), int(opt.password.size())), opt.command,
                            params, opt.timeoutMs};
    size_t answered = 0, other = 0, silent = 0;
    AskHosts(hosts, req, opt.parallel, [&](size_t i, const THostOutcome& o) {
        TStrList values;
        FillList(o.values, values);
        const std::string line = !opt.json ? HostLine(hosts[i], o)
                                 : o.rc != 1
                                     ? NoReplyJsonObject(hosts[i].text, opt.command, o.error)
                                     : ReplyJsonObject(hosts[i].text, opt.command, o.code, values);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (o.rc != 1)
            silent++;
        else if (o.code == "200")
            answered++;
        else
            other++;
    });
    std::fprintf(stderr, "tevctl: %zu hosts: %zu answered 200, %zu other result, %zu no reply\n",
                 hosts.size(), answered, other, silent);
    return silent > 0 ? 2 : other > 0 ? 1 : 0;
}

// Asks the one host and prints the reply. Returns the exit code.
int RunOne(const Options& opt, const std::vector<String>& params) {
    const char* host = opt.host.c_str();
    String reply, body, error;
    THostOutcome o;
    if (opt.upgradeFile) {
        String sessionKey;
        if (!NewSessionKey(sessionKey, error)) {
            error.SetZero();
            std::fprintf(stderr, "tevctl: no session key: %s\n", error.Data());
            return 2;
        }
        const int failed = Upgrade(opt, sessionKey, reply);
        if (failed >= 0) return failed;
        TStrList values;
        o.rc = 1;
        if (!ParseReplyPacket(reply, sessionKey, body) || !SplitReplyBody(body, o.code, values)) {
            o.rc = 0;
            o.error = "malformed reply";
        }
        for (int i = 0; i < values.Count(); i++) o.values.push_back(values[i]);
    } else {
        const TFleetRequest req{String(opt.password.data(), int(opt.password.size())), opt.command,
                                params, opt.timeoutMs};
        o = AskHost(opt.host, opt.port, req);
    }
    if (o.rc != 1) {
        if (opt.json)
            std::printf("%s\n", NoReplyJsonObject(opt.host, opt.command, o.error).c_str());
        if (o.error == "malformed reply")
            std::fprintf(stderr, "tevctl: malformed reply from %s:%d\n", host, opt.port);
        else if (o.rc == 0)
            std::fprintf(stderr,
                         "tevctl: no reply from %s:%d (wrong password or invalid request?)\n", host,
                         opt.port);
        else
            std::fprintf(stderr, "tevctl: %s:%d: %s\n", host, opt.port, o.error.c_str());
        return 2;
    }
    const String command = opt.upgradeFile ? String("UpgradeCode") : opt.command;
    TStrList values;
    FillList(o.values, values);
    if (!opt.json) return PrintReply("tevctl", command, o.code, values, opt.decode);
    std::printf("%s\n", ReplyJsonObject(opt.host, command, o.code, values).c_str());
    std::fflush(stdout);
    const std::string hint = ReplyHint(command, o.code);
    if (!hint.empty()) std::fprintf(stderr, "tevctl: %s\n", hint.c_str());
    return o.code == "200" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
#if TEV_STATIC_PROGRAM
    UseBuiltinNameServices();
#endif
    Options opt;
    int parsed = ParseArgs(argc, argv, opt);
    if (parsed < 0 && opt.mode == kRequest) parsed = ApplyConfigFile(opt);
    if (parsed >= 0) return (opt.plugin.enabled && parsed != 0) ? kPluginUnknown : parsed;
    if (opt.mode != kRequest) return PrintCatalogue(opt);

    std::vector<String> params;
    for (const char* p : opt.params) params.push_back(String(p));
    if (opt.plugin.enabled)
        return RunPlugin(opt.plugin, opt.host.c_str(), opt.port,
                         String(opt.password.data(), int(opt.password.size())), opt.timeoutMs,
                         opt.command, params);
    if (ManyHosts(opt)) return RunMany(opt, params);
    return RunOne(opt, params);
}
