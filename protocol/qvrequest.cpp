#include "protocol/qvrequest.h"

#include <cstdio>

#include "protocol/tev_const.h"

namespace {

// Formats one trace line and hands it on; nothing at all without a receiver.
void Trace(TRequestTrace trace, in_addr client, const char* format, long long value) {
    if (!trace) return;
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    trace(client, text);
}

void TracePlain(TRequestTrace trace, in_addr client, const char* text) {
    if (trace) trace(client, text);
}

// True when the n bytes at a and b are equal. Takes the same time whatever
// the bytes, so a peer cannot find the digest byte by byte from timings.
bool SameBytes(const char* a, const char* b, size_t n) {
    unsigned char diff = 0;
    for (size_t i = 0; i < n; i++) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// True when the P digest bytes at p + 8 are password's digest.
bool DigestMatches(const char* p, unsigned long long pswdLen, const String& digest) {
    return static_cast<unsigned long long>(digest.Length()) == pswdLen &&
           SameBytes(digest.Data(), p + 8, size_t(pswdLen));
}

// Sets *reason (when given) to text, formatted with value; returns result.
int Refuse(String* reason, int result, const char* text, long long value = 0) {
    if (reason) {
        char buf[96];
        std::snprintf(buf, sizeof buf, text, value);
        *reason = buf;
    }
    return result;
}

const char kWrongDigest[] = "Wrong password or MD5 error";
const char kWrongTag[] = "Wrong packet tag";
const char kMalformed[] = "Malformed packet";

}  // namespace

bool QVRequest::WholePacket() const {
    return WholePacketRule(*this);
}

int QVRequest::CheckHeader(const String& password, in_addr client, TRequestTrace trace,
                           String* reason) const {
    const unsigned long long held = static_cast<unsigned long long>(Length());
    const char* p = Data();
    if (held >= 4) {
        const unsigned long long n = DecodeLength(p, 4);
        if (n + 4 < static_cast<unsigned long long>(SIZELEN_MINIMUM) ||
            n + 4 > static_cast<unsigned long long>(MAX_REQUEST_PACKET))
            return Refuse(reason, hcRefused, "Packet length out of range (%lld bytes)",
                          (long long)(n + 4));
    }
    if (held >= 5 && static_cast<unsigned char>(p[4]) != PACKET_TAG_0)
        return Refuse(reason, hcRefused, kWrongTag);
    if (held >= 6 && static_cast<unsigned char>(p[5]) != PACKET_TAG_1)
        return Refuse(reason, hcRefused, kWrongTag);
    if (held < 8) return hcIncomplete;
    const unsigned long long pswdLen = DecodeLength(p + 6, 2);
    // The digest's length is no secret: MD5 gives 16 bytes, no password none.
    const unsigned long long expected = password.Length() ? 16 : 0;
    if (pswdLen != expected) {
        TracePlain(trace, client, "<-- Wrong password or MD5 error\n");
        return Refuse(reason, hcRefused, kWrongDigest);
    }
    if (held < 8 + pswdLen) return hcIncomplete;
    if (!DigestMatches(p, pswdLen, PasswordCipher(password)->digest)) {
        TracePlain(trace, client, "<-- Wrong password or MD5 error\n");
        return Refuse(reason, hcRefused, kWrongDigest);
    }
    return hcAuthentic;
}

int QVRequest::ParseInitRequest(const String& password, in_addr client, TRequestTrace trace,
                                String* reason) {
    sessionKey = String();
    const unsigned long long held = static_cast<unsigned long long>(Length());
    Trace(trace, client, "<-- TCP packet size: %lld\n", Length());
    if (held < static_cast<unsigned long long>(SIZELEN_MINIMUM))
        return Refuse(reason, 0, kMalformed);

    const char* p = Data();
    const unsigned long long n = DecodeLength(p, 4);
    Trace(trace, client, "<-- TEV packet size: %lld\n", (long long)n);
    if (n + 4 != held) return Refuse(reason, 0, kMalformed);

    const unsigned long long pswdLen = DecodeLength(p + 6, 2);
    Trace(trace, client, "<-- Pswd size: %lld\n", (long long)pswdLen);
    if (14 + pswdLen > held) return Refuse(reason, 0, kMalformed);

    const unsigned long long keyLen = DecodeLength(p + 8 + pswdLen, 2);
    Trace(trace, client, "<-- Key size: %lld\n", (long long)keyLen);
    if (14 + pswdLen + keyLen > held) return Refuse(reason, 0, kMalformed);

    const unsigned long long reqLen = DecodeLength(p + 10 + pswdLen + keyLen, 4);
    Trace(trace, client, "<-- Req size: %lld\n", (long long)reqLen);
    if (14 + pswdLen + keyLen + reqLen > held) return Refuse(reason, 0, kMalformed);
    if (static_cast<unsigned char>(p[4]) != PACKET_TAG_0 ||
        static_cast<unsigned char>(p[5]) != PACKET_TAG_1)
        return Refuse(reason, 0, kWrongTag);

    const std::shared_ptr<const TPreparedKey> pw = PasswordCipher(password);
    if (!DigestMatches(p, pswdLen, pw->digest)) {
        TracePlain(trace, client, "<-- Wrong password or MD5 error\n");
        return Refuse(reason, 0, kWrongDigest);
    }

    String key = DecodeData(p + 10 + pswdLen, int(keyLen), pw->cipher);
    if (key.Length() < MIN_SESSION_KEY) {
        // Under a short key both texts are encrypted under a key anyone can
        // compute: one captured digest would let anyone send any command.
        TracePlain(trace, client, "<-- Session key too short\n");
        return Refuse(reason, 0, "Session key too short (%lld bytes)", key.Length());
    }
    sessionCipher.Prepare(key.Data(), key.Length());
    String text = DecodeData(p + 14 + pswdLen + keyLen, int(reqLen), sessionCipher);
    sessionKey = key;
    String::operator=(static_cast<String&&>(text));
    ForgetLines();
    return 1;
}

void QVRequest::IndexLines() const {
    if (indexedLength == Length() && indexedData == Data() && indexedData) return;
    lineStarts.clear();
    lineStarts.push_back(0);
    const char* p = Data();
    for (int i = 0; i < Length(); i++)
        if (p[i] == '\n') lineStarts.push_back(i + 1);
    indexedData = Data();
    indexedLength = Length();
}

int QVRequest::GetParamsCount() const {
    if (Length() == 0) return 0;
    IndexLines();
    return int(lineStarts.size()) - 1;
}

String QVRequest::GetParam(int i, int trim) const {
    if (Length() == 0) return String();
    IndexLines();
    if (i < 1) i = 1;
    if (size_t(i) > lineStarts.size()) return String();
    const int start = lineStarts[size_t(i) - 1];
    const int end = size_t(i) < lineStarts.size() ? lineStarts[size_t(i)] - 1 : Length();
    String piece(Data() + start, end - start);
    if (trim) piece.Trim();
    return piece;
}

String QVRequest::GetNamedParam(const char* name) const {
    const int count = GetParamsCount();
    for (int i = 1; i <= count; i++) {
        String line = GetParam(i, 1);
        const int eq = line.Pos('=');
        if (!eq) continue;
        String key = line.Copy(1, eq - 1);
        if (key.Trim() == name) {
            String value = line.Copy(eq + 1, line.Length());
            return value.Trim();
        }
    }
    return String();
}
