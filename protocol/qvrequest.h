// QVRequest: the request of one connection. While receiving it holds the raw
// packet; after a successful ParseInitRequest it holds the decrypted request
// text and the session key. Parameters are read by 1-based line position or
// by name.
#pragma once

#include <netinet/in.h>

#include <vector>

#include "core/zostring.h"
#include "protocol/crypto/cfb8.h"

// Receives the parser's trace lines (formatted, each ending in LF) with the
// peer they concern. The parser calls it only when one is given, so a caller
// that shows no traces pays nothing for them.
typedef void (*TRequestTrace)(in_addr client, const char* text);

// What CheckHeader makes of the bytes received so far.
enum THeaderCheck {
    hcRefused = -1,    // the packet can never pass: drop the connection
    hcIncomplete = 0,  // not enough bytes yet to judge
    hcAuthentic = 1,   // tag and password digest are right
};

// Shortest session key accepted: the server's keys are at least this long,
// and a shorter one (an empty one above all) is a key anyone can guess.
const int MIN_SESSION_KEY = 8;

class QVRequest : public String {
  public:
    QVRequest() = default;
    QVRequest& operator=(const char* p) {
        String::operator=(p);
        ForgetLines();
        return *this;
    }
    QVRequest& operator=(const String& s) {
        String::operator=(s);
        ForgetLines();
        return *this;
    }

    // True when the bytes held form a whole packet (the length field is
    // satisfied).
    bool WholePacket() const;

    // Judges the start of a packet while it is still arriving, so that a
    // peer without the password is dropped before the agent buffers what it
    // announces. Refuses as soon as the bytes that decide it are in: an
    // announced packet (N + 4) shorter than the smallest packet or longer
    // than MAX_REQUEST_PACKET, wrong tag bytes, a digest length other than
    // that of `password`'s digest, or a digest that differs (compared in
    // constant time). hcAuthentic once the first 8 + P bytes have passed.
    // Traces "<-- Wrong password or MD5 error\n" for a wrong digest. On
    // hcRefused, *reason (when reason is given) names why: "Packet length
    // out of range (N bytes)", "Wrong packet tag" or "Wrong password or MD5
    // error". Any thread; reads only.
    int CheckHeader(const String& password, in_addr client, TRequestTrace trace = nullptr,
                    String* reason = nullptr) const;

    // Checks the packet held (length fields, tag bytes, the MD5 digest of
    // password), decrypts the session key under the password and the request
    // text under the session key, and replaces the packet by that text.
    // Returns 1 on success, 0 on any failure (the raw packet then stays),
    // including a session key shorter than MIN_SESSION_KEY bytes. client is
    // used only in the traces, which go to trace when one is given. On
    // failure, *reason (when given) names why: "Malformed packet", "Wrong
    // packet tag", "Wrong password or MD5 error" or "Session key too short
    // (N bytes)". Any thread.
    int ParseInitRequest(const String& password, in_addr client, TRequestTrace trace = nullptr,
                         String* reason = nullptr);

    String GetSessionKey() const { return sessionKey; }
    // The session key's prepared cipher; valid after a successful parse.
    const TCfb8Key& SessionCipher() const { return sessionCipher; }

    // Number of LF bytes in the text.
    int GetParamsCount() const;
    // The i-th (1-based; 0 and below give the first) piece of the text split
    // at LF; trimmed when trim is non-zero; empty when there is no such
    // piece. The text is split once, on the first call after it changed, so
    // reading every parameter costs one pass over the text. Not for
    // concurrent use of one object.
    String GetParam(int i, int trim) const;
    // The trimmed value of the first line "name=value" whose trimmed name
    // equals name exactly; empty when there is none.
    String GetNamedParam(const char* name) const;

  private:
    // Splits the text at LF unless the split of the current text is known.
    void IndexLines() const;
    void ForgetLines() {
        indexedData = nullptr;
        indexedLength = -1;
    }

    String sessionKey;
    TCfb8Key sessionCipher;
    // Offsets of the first byte of every piece, for the text at
    // indexedData/indexedLength.
    mutable std::vector<int> lineStarts;
    mutable const char* indexedData = nullptr;
    mutable int indexedLength = -1;
};
