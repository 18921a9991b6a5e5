#include "agent/startup.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/cfgcheck.h"
#include "agent/localtest.h"
#include "agent/runas.h"
#include "agent/signals.h"
#include "config/settingnumber.h"
#include "config/settings.h"
#include "core/agentstatus.h"
#include "protocol/crypto/ciplib.h"
#include "protocol/crypto/twofish.h"
#include "protocol/tev_const.h"

void Print(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::fflush(stdout);
}

void PrintBanner() {
    const char* rule = "-------------------------------------------------------------";
    Print("%s\n", rule);
    Print(" Application:  TEV (Farwatcher for Omnivar)\n");
    Print(" Version:      %s for %s\n", AgentStatus.AgentVersion, AgentStatus.AgentPlatform);
    Print(" Developer:    %s\n", AgentStatus.AgentDeveloper);
    Print(" Support:      the tev developers, see README.md\n");
    Print(" Protocol:     Twofish CFB-8, one request per connection\n");
    Print("%s\n", rule);
}

namespace {

void PrintUsage() {
    Print(
        " Usage: tev [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
        "  -d        - daemon mode (default)\n"
        "  -i        - interactive mode\n"
        "  -v        - verbose mode\n"
        "  -vd       - verbose debugging mode\n"
        "  -p <port> - overrides TCP port number specified in cfg_file\n"
        "  cfg_file  - obligatory parameter, path to configuration file\n\n"
        " Examples:\n"
        "  tev -i -v -p 1055 /etc/tev/tev.cfg\n"
        "  tev -d ~/tev/tev.cfg\n\n");
}

const char kLongUsage[] =
    " Also: tev -u <user> [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
    "       tev --test <cfg_file> <request> [<param> ...]\n"
    "       tev --check <cfg_file>\n"
    "       tev --version | --help\n"
    "  --test    - answer one request here, as the agent would, with the rights of\n"
    "              cfg_file, without network or password; prints the reply as\n"
    "              tevctl does (exit code 0 for 200, 1 for another result, 2 when\n"
    "              there is none); tevctl --list shows the requests\n"
    "  --check   - check cfg_file: prints errors and warnings, exit code 0 when\n"
    "              clean, 1 on errors, 3 on warnings only\n"
    "  -u <user> - (first option; tev started as root) open the port, the pid file\n"
    "              and the logs, then run as user with CAP_DAC_READ_SEARCH only\n"
    "              (read any file); programs the agent starts get no capability\n"
    "  --version - print the version\n"
    "  --help    - print this text\n";

}  // namespace

void showhelp(const char* error) {
    Print("%s\n\n", error);
    PrintUsage();
    std::exit(1);
}

int RunLongOption(int argc, char** argv) {
    if (argc < 2) return -1;
    const std::string a = argv[1];
    if (a == "--version") {
        Print("tev %s (%s for %s)\n", AgentStatus.AgentVersion, AgentStatus.AgentName,
              AgentStatus.AgentPlatform);
        return 0;
    }
    if (a == "--help") {
        PrintUsage();
        Print("%s", kLongUsage);
        return 0;
    }
    if (a != "--test" && a != "--check") return -1;
    const int needed = a == "--test" ? 4 : 3;
    if (argc < needed) {
        std::fprintf(stderr, "tev: %s needs %s\nTry 'tev --help'.\n", a.c_str(),
                     a == "--test" ? "a configuration file and a request" : "a configuration file");
        return 2;
    }
    if (a == "--check") return CheckConfiguration(argv[2]);
    return RunLocalTest(argv[2], argc - 3, argv + 3);
}

void ParseCommandLine(int argc, char** argv) {
    const char* missing = "Error\nInvalid or missed command line parameter";
    TTEVSettings opts = *Settings();
    int i = 1;
    if (argc < 2) showhelp(missing);
    if (!std::strcmp(argv[i], "-u")) {  // first, before the options of the fixed order
        if (++i >= argc) showhelp(missing);
        const char* refused = TakeRunAsUser(argv[i++]);
        if (refused) showhelp(refused);
        if (i >= argc) showhelp(missing);
    }
    if (!std::strcmp(argv[i], "-i") || !std::strcmp(argv[i], "-d"))
        opts.interactive = !std::strcmp(argv[i++], "-i");
    if (i >= argc) showhelp(missing);
    if (!std::strcmp(argv[i], "-v")) opts.verbose = 1, i++;
    if (i >= argc) showhelp(missing);
    if (!std::strcmp(argv[i], "-vd")) opts.verbose = opts.debug = 1, i++;
    if (i >= argc) showhelp(missing);
    if (!std::strcmp(argv[i], "-p")) {
        if (++i >= argc) showhelp(missing);
        // The file's check, so "-p 4294967297" is refused, not wrapped to 1.
        String refusal;
        if (!CheckSettingNumber("port", String(argv[i++]), false, opts.port, refusal))
            showhelp("Error\nInvalid port number");
    }
    if (i >= argc) showhelp(missing);
    // The command line's order is fixed and what follows the file is not
    // read; said, so that "tev good.cfg -i" does not pass for interactive.
    if (i + 1 < argc) {
        std::string rest;
        for (int j = i + 1; j < argc; j++) rest += std::string(j > i + 1 ? " " : "") + argv[j];
        std::fprintf(stderr, "tev: ignored after the configuration file: %s\n", rest.c_str());
    }
    std::strncpy(opts.cfgfile, argv[i], sizeof opts.cfgfile - 1);
    opts.cfgfile[sizeof opts.cfgfile - 1] = 0;
    TEVSettings.Update([&opts](TTEVSettings& s) { s = opts; });
}

namespace {

const char kCheckWord[] = "self checkword";
const char kCheckText[] = "123456789012345";

void CheckResult(bool ok) {
    Print(ok ? "Ok\n" : "Error\n");
    if (!ok) std::exit(3);
}

}  // namespace

void EncryptionChecks() {
    Twofish_initialise();
    THash_SHA sha;
    const unsigned char* digest = sha.GetHash(kCheckWord, long(sizeof kCheckWord - 1));
    Twofish_key key;
    Twofish_prepare_key(digest, sha.GetHashSize(), &key);
    Twofish_Byte plain[16];
    Twofish_Byte cipher[16];
    Twofish_Byte back[16];
    std::memcpy(plain, kCheckText, 16);  // the text and its terminating zero
    Twofish_encrypt(&key, plain, cipher);
    Twofish_decrypt(&key, cipher, back);
    Print("Basic encyption checking .. ");
    CheckResult(std::memcmp(plain, back, 16) == 0);

    const String text(kCheckText);
    const String word(kCheckWord);
    const String decoded = DecodeData(EncodeData(text, word, 0), word);
    Print("TEV encyption checking .. ");
    CheckResult(decoded == text);
}

namespace {

// fd itself when it is above standard error (or -1); otherwise a
// close-on-exec copy above it. The low descriptor is left open: the caller
// replaces it with dup2.
int AboveStandard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

// How long the starting process waits for the daemon to be ready.
const int kReadyWaitMs = 30000;

// The daemon's end of the readiness pipe; -1 once told, or in the parent.
int readyFd = -1;

// The starting process: waits until the daemon has written its pid file (a
// byte on the pipe), so that whoever started the agent (an init system
// following the pid file, a restart, the update script) finds the pid file
// of the new daemon when this process ends. A daemon that ends before it is
// ready passes its exit code on instead of a false "started".
[[noreturn]] void AwaitReady(pid_t child, int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, kReadyWaitMs);
    } while (rc < 0 && errno == EINTR);
    char byte = 0;
    ssize_t n = 0;
    if (rc > 0) {
        do {
            n = read(fd, &byte, 1);
        } while (n < 0 && errno == EINTR);
    }
    close(fd);
    // A timeout counts as started: the daemon runs on, only slowly.
    if (rc == 0 || n == 1) {
        Print("Daemon started\n");
        std::exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) std::exit(WEXITSTATUS(status));
    std::exit(2);
}

}  // namespace

int daemon_init() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    if (pid > 0) {
        close(ready[1]);
        AwaitReady(pid, ready[0]);
    }
    close(ready[0]);
    readyFd = ready[1];
    setsid();
    // Above the standard descriptors, so that every dup2 below really makes
    // a copy (which is not close-on-exec) even when the agent was started
    // with one of them closed and open returned it.
    const int in = AboveStandard(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int out = AboveStandard(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (in >= 0) {
        dup2(in, STDIN_FILENO);
        close(in);
    }
    if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close(out);
    }
    InstallReloadHandler();
    return 0;
}

void OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: fd itself, as the ones below are open.
        const int opened = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (opened < 0) return;
        if (opened == fd) {
            fcntl(fd, F_SETFD, 0);  // standard descriptors are inherited
        } else {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void RaiseDescriptorLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

void daemon_ready() {
    if (readyFd < 0) return;
    const char byte = 1;
    ssize_t n;
    do {
        n = write(readyFd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    close(readyFd);
    readyFd = -1;
}
