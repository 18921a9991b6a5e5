// tevctl: sends one request to an agent and prints its reply.
//
//   tevctl [-H host] [-p port] [-w password | -W password-file] [-d]
//          [-t timeout-ms] COMMAND [PARAM ...]
//   tevctl [-H host] [-p port] [-w password | -W password-file]
//          [-t timeout-ms] -U PROGRAM-FILE
//
// Output: the result code on the first line, then one line per value.
// Exit code: 0 for result "200", 1 for any other result, 2 when no usable
// reply came (refused, timed out, wrong password, bad usage).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/clientpacket.h"
#include "protocol/valueforms.h"
#include "tools/cli_args.h"

namespace {

const char kUsage[] =
    "Usage: tevctl [-H host] [-p port] [-w password | -W password-file] [-d]\n"
    "              [-t timeout-ms] COMMAND [PARAM ...]\n"
    "       tevctl [-H host] [-p port] [-w password | -W password-file]\n"
    "              [-t timeout-ms] -U PROGRAM-FILE\n"
    "Sends one request to a tev agent and prints the reply: the result code\n"
    "on the first line, then one line per value.\n"
    "  -H host           agent address (default 127.0.0.1)\n"
    "  -p port           agent port (default 1055)\n"
    "  -w password       shared password (default: empty)\n"
    "  -W password-file  read the password from the first line of a file\n"
    "  -d                decode multi-line values (%0D, %0A) before printing\n"
    "  -t timeout-ms     time limit for the whole exchange (default 10000)\n"
    "  -U program-file   upgrade the agent: send the file as its new program\n"
    "                    (UpgradeCode, the file, its digest) and print the verdict\n"
    "  --help            show this text\n"
    "Parameters may not hold line breaks; write them as %0A and %0D.\n"
    "Exit code: 0 for result 200, 1 for another result, 2 when no reply came.\n"
    "Example: tevctl -p 1055 -w secret TEST-FileExists /etc/passwd\n";

struct Options {
    std::string host = "127.0.0.1";
    int port = 1055;
    std::string password;
    bool decode = false;
    int timeoutMs = 10000;
    String command;
    int firstParam = 0;                 // index in argv of the first parameter
    const char* upgradeFile = nullptr;  // -U: the new program to send
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

// Fills opt from argv. Returns -1 to go on, otherwise the exit code.
int ParseArgs(int argc, char** argv, Options& opt) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
        const std::string a = argv[i];
        if (a == "--") {
            i++;
            break;
        }
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "-d") {
            opt.decode = true;
            continue;
        }
        if (a != "-H" && a != "-p" && a != "-w" && a != "-W" && a != "-t" && a != "-U")
            return UsageError("unknown option ", argv[i]);
        if (i + 1 >= argc) return UsageError("missing value for ", argv[i]);
        const char* v = argv[++i];
        if (a == "-U") {
            opt.upgradeFile = v;
        } else if (a == "-H") {
            opt.host = v;
        } else if (a == "-p") {
            if (!ParseNumber(v, 1, 65535, opt.port)) return UsageError("invalid port ", v);
        } else if (a == "-t") {
            if (!ParseNumber(v, 1, INT_MAX, opt.timeoutMs))
                return UsageError("invalid timeout ", v);
        } else if (a == "-w") {
            opt.password = v;
        } else if (!ReadPasswordFile(v, opt.password)) {
            std::fprintf(stderr, "tevctl: cannot read password file %s: %s\n", v,
                         std::strerror(errno));
            return 2;
        }
    }
    if (opt.upgradeFile) {
        if (i < argc) return UsageError("no COMMAND with -U: ", argv[i]);
        return -1;
    }
    if (i >= argc) return UsageError("missing COMMAND", nullptr);
    for (int k = i; k < argc; k++)
        if (HasLineBreak(argv[k]))
            return UsageError("line break in argument (write it as %0A/%0D): ", argv[k]);
    opt.command = argv[i];
    opt.firstParam = i + 1;
    return -1;
}

// Writes line (decoded from the multi-line form when asked) and LF to stdout.
void PrintLine(const String& line, bool decode) {
    const String text = decode ? tevDecodeStrings(line) : line;
    // An empty value line has no buffer at all.
    if (text.Length() > 0) std::fwrite(text.Data(), 1, size_t(text.Length()), stdout);
    std::fputc('\n', stdout);
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
    Options opt;
    const int parsed = ParseArgs(argc, argv, opt);
    if (parsed >= 0) return parsed;

    TStrList params;
    for (int k = opt.firstParam; k < argc; k++) params.Add(String(argv[k]));
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
    PrintLine(code, false);
    for (int k = 0; k < values.Count(); k++) PrintLine(values[k], opt.decode);
    std::fflush(stdout);
    return code == "200" ? 0 : 1;
}
