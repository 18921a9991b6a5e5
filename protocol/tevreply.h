// TEVReply: the answer to one request. While built it holds the plain body:
// a three-digit result code line, value lines each ended by LF; after
// FinalizePacket it holds the framed, encrypted reply packet.
#pragma once

#include <ctime>

#include "core/zostring.h"
#include "protocol/crypto/cfb8.h"

class TEVReply : public String {
  public:
    TEVReply() = default;
    TEVReply& operator=(const char* p) {
        String::operator=(p);
        return *this;
    }
    TEVReply& operator=(const String& s) {
        String::operator=(s);
        return *this;
    }

    // Body = first and LF (empty when first is null); session key = key.
    void InitPacket(const char* first, const String& key);
    // The same, with the session key's cipher already prepared by the request:
    // used, not copied, so it must outlive FinalizePacket.
    void InitPacket(const char* first, const String& key, const TCfb8Key& cipher);
    // Replaces the whole body by code and LF (nothing when code is null).
    void SetResult(const char* code);
    // Appends LF when the body is not empty and does not end with one.
    void CommandSeparatorCheck();
    // Each adds one value line in its text form (encode: multi-line form).
    void AddStringParam(const String& s, int encode);
    void AddStringParam(const char* s, int encode);
    void AddBoolParam(int b);
    void AddIntParam(int v);
    void AddIntParam(long long v);
    void AddRealParam(double v);
    void AddTimeParam(const struct tm& t);
    void AddTimeParam(const long& t);
    // printf-style line through a 2048-byte buffer; a result whose length is
    // negative or above 2048 is dropped, one of exactly 2048 is cut to 2047.
    void AddVarParams(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Closes the body (LF, CR), encrypts it under the session key and frames
    // it with its 4-byte length.
    void FinalizePacket();

    const String& SessionKey() const { return sessionKey; }

  private:
    String sessionKey;
    const TCfb8Key* prepared = nullptr;  // the request's; else own `cipher`
    TCfb8Key cipher;
    bool cipherReady = false;
};
