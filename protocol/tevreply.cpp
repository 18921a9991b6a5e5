#include "protocol/tevreply.h"

#include <cstdarg>
#include <cstdio>

#include "protocol/tev_const.h"
#include "protocol/valueforms.h"

void TEVReply::InitPacket(const char* first, const String& key) {
    String::operator=(first ? first : "");
    if (first) AddChar('\n');
    sessionKey = key;
    prepared = nullptr;
    cipherReady = false;
}

void TEVReply::InitPacket(const char* first, const String& key, const TCfb8Key& requestCipher) {
    InitPacket(first, key);
    prepared = &requestCipher;
}

void TEVReply::SetResult(const char* code) {
    String::operator=(code ? code : "");
    if (code) AddChar('\n');
}

void TEVReply::CommandSeparatorCheck() {
    if (Length() > 0 && (*this)[Length()] != '\n') AddChar('\n');
}

void TEVReply::AddStringParam(const String& s, int encode) {
    CommandSeparatorCheck();
    if (encode)
        *this += tevEncodeStrings(s);
    else
        *this += s;
    AddChar('\n');
}

void TEVReply::AddStringParam(const char* s, int encode) {
    AddStringParam(String(s), encode);
}

void TEVReply::AddBoolParam(int b) {
    AddStringParam(b ? "1" : "0", 0);
}
void TEVReply::AddIntParam(int v) {
    AddStringParam(tevFormatInt(v), 0);
}
void TEVReply::AddIntParam(long long v) {
    AddStringParam(tevFormatInt64(v), 0);
}
void TEVReply::AddRealParam(double v) {
    AddStringParam(tevFormatReal(v), 0);
}
void TEVReply::AddTimeParam(const struct tm& t) {
    AddStringParam(tevFormatTime(t), 0);
}

void TEVReply::AddTimeParam(const long& t) {
    const time_t stamp = static_cast<time_t>(t);
    struct tm local;
    localtime_r(&stamp, &local);
    AddTimeParam(local);
}

void TEVReply::AddVarParams(const char* format, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0 || n > 2048) return;
    AddStringParam(buf, 0);
}

void TEVReply::FinalizePacket() {
    CommandSeparatorCheck();
    AddChar('\r');
    if (!prepared && !cipherReady) {
        cipher.Prepare(sessionKey.Data(), sessionKey.Length());
        cipherReady = true;
    }
    String packet = EncodeData(*this, prepared ? *prepared : cipher, 4);
    String::operator=(static_cast<String&&>(packet));
}
