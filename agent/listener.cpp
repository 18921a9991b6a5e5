#include "agent/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "agent/console.h"
#include "agent/pidfile.h"
#include "agent/runflags.h"
#include "agent/session.h"
#include "agent/upgrade.h"
#include "config/agentstatus.h"
#include "config/settings.h"
#include "platform/sockets.h"

extern char** environ;

int Listen(unsigned int& addrlen, String& error) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    String host = s->host;
    host.SetZero();
    for (int attempt = 0; attempt < 3; attempt++) {
        const int fd = TcpListen(host.Length() ? host.Data() : nullptr, s->port, &addrlen, error);
        if (fd > 0) {
            // Non-blocking, so that accept can never hold the loop (and its
            // run-state checks) waiting for a connection: not after a
            // connection vanished between poll and accept, and not when the
            // loop tries the next accept at once under load.
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            return fd;
        }
        sleep(1);
    }
    return 0;
}

namespace {

void CloseSocket(int fd) {
    if (fd <= 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

// The pid file again, after a failed exec deleted it: a daemon that goes on
// running keeps its pid file.
void RewritePidFile(ListenerState& st) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (st.pidfile < 0 && !s->interactive && s->pidfile.Length()) st.pidfile = createpidfile();
}

// Replaces the process image with path, keeping our arguments and
// environment; returns only when that failed. The listening socket is not
// closed here: it is close-on-exec, so the exec closes it, and after a failed
// exec the agent goes on serving on it without reopening the port.
void Execute(ListenerState& st, const String& program) {
    closepidfile(st.pidfile);
    st.pidfile = -1;
    execve(ZeroTerminated(program).Data(), st.argv, environ);
}

void CheckTerminate(ListenerState& st) {
    if (!TEVFlags.terminate) return;
    showmessage("Terminate request received. Terminating..\n", NoPeer(), mtInfo, 0);
    closepidfile(st.pidfile);
    ExitNow(0);
}

void CheckRestart(ListenerState& st) {
    if (!TEVFlags.reload) return;
    showmessage("Reload request received. Executing..\n", NoPeer(), mtInfo, 0);
    Execute(st, Settings()->tevpath);
    showmessage("Error: cannot start new instance\n", NoPeer(), mtFailure, 0);
    TEVFlags.reload = 0;
    RewritePidFile(st);
}

void CheckUpgrade(ListenerState& st) {
    if (!TEVFlags.upgrade) return;
    const String script = TEVFlags.GetUpgradeScript();
    if (script.Length() == 0) {  // nothing left to run: dropped already
        TEVFlags.upgrade = 0;
        return;
    }
    showmessage("Upgrade request received. Executing..\n", NoPeer(), mtInfo, 0);
    Execute(st, script);
    // Reported once: the upgrade is dropped (files deleted, slot free), and
    // the server may send it again.
    showmessage("Error: cannot start upgrading script\n", NoPeer(), mtFailure, 0);
    DropPendingUpgrade();
    TEVFlags.upgrade = 0;
    RewritePidFile(st);
}

void CheckPort(ListenerState& st) {
    if (Settings()->port == st.port) return;
    CloseSocket(st.socket);
    String error;
    st.socket = Listen(st.addrlen, error);
    if (st.socket > 0) {
        st.port = Settings()->port;
        showmessage("Server port switching .. Ok\n", NoPeer(), mtSuccess, 0);
        return;
    }
    showmessage("Error: cannot open new port for listening\n", NoPeer(), mtFailure, 0);
    const int previous = st.port;
    TEVSettings.Update([previous](TTEVSettings& s) { s.port = previous; });
    st.socket = Listen(st.addrlen, error);
    if (st.socket > 0) {
        showmessage("Return to original port\n", NoPeer(), mtFailure, 0);
        return;
    }
    showmessage("Cannot open original port either. Terminating\n", NoPeer(), mtFailure, 0);
    closepidfile(st.pidfile);
    ExitNow(4);
}

// SIGHUP only raises a flag; the reload happens here, outside the handler.
void CheckReloadConfig() {
    if (!TEVFlags.reloadcfg.exchange(0)) return;
    String error;
    TEVSettings.LoadOptions(error);
}

void RunStateChecks(ListenerState& st) {
    CheckTerminate(st);
    CheckRestart(st);
    CheckUpgrade(st);
    CheckReloadConfig();
    CheckPort(st);
}

bool TransientAcceptError(int err) {
    return err == ECONNABORTED || err == EMFILE || err == ENFILE || err == ENOBUFS ||
           err == ENOMEM || err == EPROTO || err == EPERM || err == EAGAIN || err == EWOULDBLOCK ||
           err == ENETDOWN || err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET ||
           err == EHOSTUNREACH || err == EOPNOTSUPP || err == ENETUNREACH;
}

bool FilterAllows(const TTEVSettings& s, in_addr peer) {
    if (!s.filteractive) return true;
    char text[24];
    if (!inet_ntop(AF_INET, &peer, text, sizeof text)) return false;
    // Whole items only: every item stands between CR LF pairs.
    String item("\r\n");
    item += text;
    item += "\r\n";
    return s.activefilter.Pos(item) != 0;
}

void Refuse(int fd, in_addr peer) {
    AgentStatus.FailedConnections++;
    showmessage("TCP connection rejected\n", peer, mtFailure, 0);
    CloseSocket(fd);
}

void Serve(int fd, in_addr peer) {
    showmessage("TCP connection accepted\n", peer, mtSuccess, 0);
    ThreadParams* params = new ThreadParams{fd, peer};
    const int rc = StartSession(params);
    if (rc == 0) return;
    delete params;
    String text = GetErrorStr(rc);
    text.SetZero();
    showmessage("Cannot start session thread: %s\n", peer, mtFailure, 1, text.Data());
    CloseSocket(fd);
}

// Accepts one connection and serves or refuses it. Returns 1 when one was
// accepted, 0 when none was waiting (or a transient failure was reported),
// -1 when the listening socket is no longer usable.
int AcceptOne(ListenerState& st) {
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    const int fd = accept4(st.socket, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) return 0;
        String text = GetErrorStr(err);
        text.SetZero();
        if (!TransientAcceptError(err)) {
            showmessage("Accept fatal error: %s\n\n", NoPeer(), mtFailure, 1, text.Data());
            return -1;
        }
        showmessage("Accept error: %s\n", NoPeer(), mtFailure, 1, text.Data());
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
            usleep(100 * 1000);  // let sessions give descriptors back
        return 0;
    }
    if (FilterAllows(*Settings(), addr.sin_addr))
        Serve(fd, addr.sin_addr);
    else
        Refuse(fd, addr.sin_addr);
    return 1;
}

}  // namespace

int AcceptLoop(ListenerState& st) {
    bool busy = false;
    for (;;) {
        RunStateChecks(st);
        // Under load the next connection is usually waiting already; wait
        // (at most a second, so the checks above keep running) only when
        // the last attempt found none.
        if (!busy) {
            struct pollfd p = {st.socket, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
        }
        const int accepted = AcceptOne(st);
        if (accepted < 0) {
            closepidfile(st.pidfile);
            return 4;
        }
        busy = accepted > 0;
    }
}
