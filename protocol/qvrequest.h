// QVRequest: the request of one connection. While receiving it holds the raw
// packet; after a successful ParseInitRequest it holds the decrypted request
// text and the session key. Parameters are read by 1-based line position or
// by name.
#pragma once

#include <netinet/in.h>

#include "core/zostring.h"
#include "protocol/crypto/cfb8.h"

class QVRequest : public String {
  public:
    QVRequest() = default;
    QVRequest& operator=(const char* p) {
        String::operator=(p);
        return *this;
    }
    QVRequest& operator=(const String& s) {
        String::operator=(s);
        return *this;
    }

    // True when the bytes held form a whole packet (the length field is
    // satisfied).
    bool WholePacket() const;

    // Checks the packet held (length fields, tag bytes, the MD5 digest of
    // password), decrypts the session key under the password and the request
    // text under the session key, and replaces the packet by that text.
    // Returns 1 on success, 0 on any failure (the raw packet then stays).
    // client is used only in the debugging traces. Any thread.
    int ParseInitRequest(const String& password, in_addr client);

    String GetSessionKey() const { return sessionKey; }
    // The session key's prepared cipher; valid after a successful parse.
    const TCfb8Key& SessionCipher() const { return sessionCipher; }

    // Number of LF bytes in the text.
    int GetParamsCount() const;
    // The i-th (1-based) piece of the text split at LF; trimmed when trim is
    // non-zero; empty when there is no such piece.
    String GetParam(int i, int trim) const;
    // The trimmed value of the first line "name=value" whose trimmed name
    // equals name exactly; empty when there is none.
    String GetNamedParam(const char* name) const;

  private:
    String sessionKey;
    TCfb8Key sessionCipher;
};
