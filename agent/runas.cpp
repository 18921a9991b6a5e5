#include "agent/runas.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/console.h"
#include "platform/privilege.h"

namespace {

// Set once by TakeRunAsUser, before any other thread exists.
char userName[256];
TUserIds userIds;
bool switchDue = false;  // started as root: the change is still to come
char refusal[512];

}  // namespace

const char* TakeRunAsUser(const char* name) {
    std::snprintf(userName, sizeof userName, "%s", name);
    String error;
    if (!LookUpUser(userName, userIds, error)) {
        error.SetZero();
        std::snprintf(refusal, sizeof refusal, "Error\nOption -u: user '%s': %s", userName,
                      error.Data());
        return refusal;
    }
    if (userIds.Uid == 0) {
        std::snprintf(refusal, sizeof refusal,
                      "Error\nOption -u: '%s' is root; name an ordinary user", userName);
        return refusal;
    }
    if (RunsAsRoot()) {
        switchDue = true;
        return nullptr;
    }
    if (getuid() == userIds.Uid && geteuid() == userIds.Uid) return nullptr;
    std::snprintf(refusal, sizeof refusal,
                  "Error\nOption -u needs root: tev runs as uid %ld, not as root, and cannot "
                  "become user '%s'",
                  long(geteuid()), userName);
    return refusal;
}

const char* RunAsUser() {
    return userName[0] ? userName : nullptr;
}

void CheckRunAsPort(int port) {
    if (!switchDue) return;
    const int lowest = UnprivilegedPortStart();
    if (port >= lowest) return;
    // Open now as root, the port could not be opened again by the restarted
    // or upgraded agent, which runs as the user from its start.
    std::printf(
        "Error\nOption -u: port %d is below %d, which only root may open; user '%s' could not "
        "open it again when tev restarts itself. Use port %d or above.\n\n",
        port, lowest, userName, lowest);
    std::fflush(stdout);
    std::exit(1);
}

int BecomeRunAsUser() {
    if (!userName[0]) return 1;
    if (!switchDue) {
        if (!HasReadAllCapability())
            showmessage(
                "Running as user %s without CAP_DAC_READ_SEARCH: files and folders that only "
                "root may read cannot be tested\n",
                NoPeer(), mtFailure, 1, userName);
        return 1;
    }
    String error;
    if (!BecomeUser(userIds, error)) {
        error.SetZero();
        showmessage("Cannot become user %s: %s\n", NoPeer(), mtFailure, 1, userName, error.Data());
        return 0;
    }
    switchDue = false;
    showmessage("Running as user %s with CAP_DAC_READ_SEARCH only\n", NoPeer(), mtInfo, 1,
                userName);
    return 1;
}
