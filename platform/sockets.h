// IPv4 socket library: the listening socket, outgoing TCP connections with a
// time limit, one-shot TCP and UDP exchanges, a small connection class,
// name resolution and address formatting, and system error texts.
//
// Result codes of the connect and exchange operations:
//    1 (or a byte count)  success
//    0                    time limit reached ("Timeout"), or the peer closed
//                         a TCP receive with no data (error text empty)
//   -2                    the host name did not resolve
//   -3                    socket creation (or switching to non-blocking) failed
//   -4                    sending failed
//   -5                    receiving failed
//   -6                    connecting failed
// Error texts are the system's text for errno unless stated otherwise.
//
// Every socket is created close-on-exec. Name resolution uses getaddrinfo
// and address formatting inet_ntop, both re-entrant, so no lock is held
// across a lookup and every function may run in several threads at once.
// Readiness waits use poll(), so descriptors of any number work. Sends
// never raise SIGPIPE.
#pragma once

#include <netinet/in.h>

#include "core/threadsafety.h"
#include "core/zostring.h"
#include "platform/syserror.h"

// Serialises resolver calls that are not re-entrant. The functions here use
// only re-entrant calls and never take it; it is locked after showmutex
// when both are needed.
extern TMutex iplib_mutex;

// Writes the dotted-decimal text of a into buf: at most size - 1 bytes and a
// terminating zero. size < 1 or a null buf leaves buf untouched. Returns buf.
char* inet_ntoa_safe(in_addr a, char* buf, int size);

// Looks up the IPv4 addresses of host (a name or any numeric form).
// Returns 0 with the first address (network order) in ip and the length of
// its address bytes in addrLen; -1 with the getaddrinfo code in lookupError.
// Re-entrant; holds no lock while the lookup runs.
int LookupHostIPv4(const char* host, unsigned int& ip, int& addrLen, int& lookupError);

// Address of host in network order. Numeric forms (inet_aton) need no
// lookup. Returns 1 with ip set; -2 with "Cannot resolve server name to IP
// address" when the lookup fails (or host is null), or with "Name resolution
// error: unknown address structure" when the address found is not 4 bytes.
// error is emptied first.
int GetHostIP(const char* host, unsigned int& ip, String& error);

// First IPv4 address (network order) of the local host name, or 0.
unsigned int GetMyIP();

// Dotted-decimal text of ip (network order).
String IP2String(unsigned int ip);

// Opens a listening TCP socket on host (null or empty: every local address)
// and service (a port number or service name): getaddrinfo with AI_PASSIVE,
// AF_INET, SOCK_STREAM; SO_REUSEADDR; the first address that binds; backlog
// 512. Returns the descriptor (never 0); 0 on failure with error set to the getaddrinfo text, or to
// "socket() or bind() error" or "listen() error" followed by a line
// "port <service>: <system text>" (no line end after it).
int TcpListen(const char* host, const char* service, String& error);
// The same with the port formatted by "%d".
int TcpListen(const char* host, int port, String& error);

// Ends a connection (or a listening socket) for both sides at once, then
// closes the descriptor: shut down first, so that a thread still waiting on
// it wakes and the peer learns of the end even when another descriptor
// (a child's, say) still refers to the socket. Nothing for a negative fd.
void CloseConnection(int fd);

// True when the accepted TCP connection fd was made only after the kernel
// had sent its SYN-ACK again: how a connection held back by TCP_DEFER_ACCEPT
// reaches accept when its peer stays silent (or, on a lossy path, one whose
// handshake took as long). False when it came at once; true as well when
// the kernel does not say (a silent connection is then most likely one the
// deferral held back).
bool HandshakeWasRepeated(int fd);

// Opens a TCP connection to host:port. timeoutMs <= 0: a blocking connect;
// otherwise the socket is switched to non-blocking mode (and stays so) and
// the connect may take at most timeoutMs. Returns 1, 0 ("Timeout"), -2, -3
// ("ioctl error - " + text when non-blocking mode fails) or -6 (the text of
// the connect error). sock holds the descriptor or -1; it is left open on
// every path and the caller closes it.
int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& error);

// PerformConnect, then closes the socket. Returns PerformConnect's result.
int TCPConnect(const char* host, int port, int timeoutMs, String& error);

// One TCP exchange: connect (PerformConnect, same limit), send all sendLen
// bytes (when sendLen > 0), then receive once at most recvLen bytes (when
// recvLen > 0) after waiting at most timeoutMs for data (timeoutMs <= 0: only
// data already there counts). Returns the bytes received, 0 when the peer
// closed without data (error empty), 1 when nothing was to be received, or
// 0 "Timeout" / -2 / -3 / -4 / -5 / -6. The send may take at most timeoutMs
// (no limit when timeoutMs <= 0). The socket is always closed.
int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuf,
                         char* recvBuf, int sendLen, int recvLen, String& error);

// One UDP exchange: send one datagram of sendLen bytes (when > 0), then wait
// at most timeoutSeconds for one datagram and receive at most recvLen bytes
// of it (when recvLen > 0). Returns the byte count of the last send or
// receive (0 when neither was asked) with error empty, or 0 "Timeout" / -2 /
// -3 / -4 / -5. The socket is always closed.
int SendReceiveUDPPacket(const char* host, int port, int timeoutSeconds, const char* sendBuf,
                         char* recvBuf, int sendLen, int recvLen, String& error);

// One outgoing connection, TCP (type 1) or UDP (any other type). Not
// copyable; the destructor disconnects. Not for use by two threads at once.
class TSyncSocket {
  public:
    explicit TSyncSocket(int aType);
    ~TSyncSocket();
    TSyncSocket(const TSyncSocket&) = delete;
    TSyncSocket& operator=(const TSyncSocket&) = delete;

    // Connects to host:port; an earlier connection is closed first. TCP:
    // PerformConnect with timeoutMs. UDP: GetHostIP, a datagram socket and
    // connect(). Returns 1, or GetHostIP's / PerformConnect's result, -3 or
    // -6 with error set; on failure socket is -1.
    int Connect(const char* host, int port, int timeoutMs);
    // Sends all len bytes. Returns len; 0 when len < 1 or ("Timeout") when
    // the send needed longer than timeoutMs (timeoutMs <= 0: no limit); -4
    // with the system text on failure (also when not connected).
    int SendBuf(const char* buf, int len, int timeoutMs);
    // SendBuf over the bytes of s.
    int SendString(const String& s, int timeoutMs);
    // Empties out, waits at most timeoutMs for data (<= 0: only data already
    // there) and appends at most 20480 received bytes. Returns the count
    // (0 when the peer closed), 0 "Timeout", or -5 with the system text.
    int ReadString(String& out, int timeoutMs);
    // 1 when there is a socket and a 5 ms readiness wait on it does not fail.
    int Connected();
    // Empties error and closes the socket if there is one.
    void Disconnect();

    int socket = -1;  // the descriptor, -1 when not connected
    int type = 1;     // 1: TCP (stream); other values: UDP (datagram)
    String error;     // text of the last failure, empty after a success
};
