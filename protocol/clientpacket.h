// The monitoring server's side of the wire protocol: building request
// packets, exchanging them with an agent over TCP and taking replies apart.
// Used by the command-line client, the load generator and the tests; the
// agent itself never calls these.
#pragma once

#include "core/zostring.h"

// Largest reply packet (L + 4) the client accepts. Replies are text (file and
// process lists at most a few megabytes); a length field above this is taken
// for a broken or hostile peer instead of being buffered.
const unsigned int MAX_REPLY_PACKET = 256u * 1024 * 1024;

// The plain request text: command, LF, each parameter followed by LF, then
// the end-of-transmission CR. Pieces are copied as they are; callers keep LF
// and CR out of them (use the multi-line value form for free text).
// Pure; any thread.
String BuildRequestBody(const String& command, const TStrList& params);

// The whole request packet: N(4) | 0x03 0x12 | P(2) | MD5(password) |
// K(2) | session key encrypted under the password | R(4) | body encrypted
// under the session key. Empty pieces get zero length fields. Returns the
// empty String when the session key does not fit its 16-bit length field
// (more than 65535 bytes), so a caller never sends a packet whose fields
// contradict each other. Pure; any thread.
String BuildRequestPacket(const String& password, const String& sessionKey, const String& body);

// Takes a reply packet apart. Returns 1 when packet is exactly 4 + L bytes
// (L: its little-endian length field) and sets body to the text decrypted
// under sessionKey; otherwise returns 0 and empties body. Pure; any thread.
int ParseReplyPacket(const String& packet, const String& sessionKey, String& body);

// Sends one request packet to host:port over a fresh TCP connection and reads
// the reply, all within timeoutMs milliseconds (name lookup, connect, send
// and receive together). host is a name or a numeric IPv4/IPv6 address.
// Returns
//   1 with reply = the whole reply packet (exactly 4 + L bytes) and error empty;
//   0 when the agent closed the connection without a whole reply: error is
//     "no reply (connection closed)" when nothing arrived, "incomplete reply
//     (connection closed)" when part of one did; reply holds what arrived;
//  -1 on failures to connect or time-outs: error is "connection refused",
//     "timed out", "name lookup timed out", "reply too large", the
//     resolver's text or the system's error text; reply holds what arrived.
// Never raises SIGPIPE. Any thread; the descriptor is close-on-exec and is
// closed before returning.
int ExchangePacket(const char* host, int port, const String& packet, int timeoutMs, String& reply,
                   String& error);

// The trailer that follows a program file in an upgrade transfer: the MD5
// digest of file encrypted under sessionKey without a length field, so
// exactly 16 bytes. Pure; any thread.
String UpgradeTrailer(const String& file, const String& sessionKey);

// Sends file to the agent at host:port as its new program, the way the
// monitoring server does: the request "UpgradeCode" with the file's size
// under password and sessionKey; when the agent answers "200", the file's
// bytes followed by UpgradeTrailer on the same connection, then the agent's
// verdict. All within timeoutMs milliseconds.
// Returns 1 with reply = the whole last reply packet the agent sent: its
// answer to the request when that was not "200" (or could not be read as
// a reply), otherwise its verdict on the transfer. Returns 0 or -1 with
// error set as ExchangePacket does (also when the agent closed the
// connection during the transfer without a verdict). Never raises SIGPIPE.
// Any thread; the descriptor is close-on-exec and closed before returning.
int SendUpgrade(const char* host, int port, const String& password, const String& sessionKey,
                const String& file, int timeoutMs, String& reply, String& error);

// Splits a plain reply body into the result code (the first line, without its
// LF) and the values (each following LF-terminated line, without the LF). The
// closing CR after the last LF is not a value. Returns 1 for a well-formed
// body (a first line ended by LF, and after the last LF exactly one CR);
// otherwise 0, with code and values filled as far as the body allows (an
// unterminated first line is the code, an unterminated rest is dropped).
// values is cleared first. Pure; any thread.
int SplitReplyBody(const String& body, String& code, TStrList& values);

// A fresh session key: 16 random bytes from the kernel written as 32
// lowercase hex characters, so the key text is printable. Returns 1 and sets
// key; on failure returns 0, empties key and sets error to the system's text.
// Any thread.
int NewSessionKey(String& key, String& error);
