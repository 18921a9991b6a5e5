#include "protocol/qvrequest.h"

#include <cstring>

#include "agent/console.h"
#include "protocol/tev_const.h"

bool QVRequest::WholePacket() const {
    return WholePacketRule(*this);
}

int QVRequest::ParseInitRequest(const String& password, in_addr client) {
    sessionKey = String();
    const unsigned long long held = static_cast<unsigned long long>(Length());
    showmessage("<-- TCP packet size: %d\n", client, mtDebug, 1, Length());
    if (held < static_cast<unsigned long long>(SIZELEN_MINIMUM)) return 0;

    const char* p = Data();
    const unsigned long long n = DecodeLength(p, 4);
    showmessage("<-- TEV packet size: %d\n", client, mtDebug, 1, int(n));
    if (n + 4 != held) return 0;

    const unsigned long long pswdLen = DecodeLength(p + 6, 2);
    showmessage("<-- Pswd size: %d\n", client, mtDebug, 1, int(pswdLen));
    if (14 + pswdLen > held) return 0;

    const unsigned long long keyLen = DecodeLength(p + 8 + pswdLen, 2);
    showmessage("<-- Key size: %d\n", client, mtDebug, 1, int(keyLen));
    if (14 + pswdLen + keyLen > held) return 0;

    const unsigned long long reqLen = DecodeLength(p + 10 + pswdLen + keyLen, 4);
    showmessage("<-- Req size: %d\n", client, mtDebug, 1, int(reqLen));
    if (14 + pswdLen + keyLen + reqLen > held) return 0;
    if (static_cast<unsigned char>(p[4]) != PACKET_TAG_0 ||
        static_cast<unsigned char>(p[5]) != PACKET_TAG_1)
        return 0;

    const String digest = EncodePswd(password);
    if (static_cast<unsigned long long>(digest.Length()) != pswdLen ||
        (pswdLen > 0 && std::memcmp(digest.Data(), p + 8, size_t(pswdLen)) != 0)) {
        showmessage("<-- Wrong password or MD5 error\n", client, mtDebug, 0);
        return 0;
    }

    const std::shared_ptr<const TPreparedKey> pw = PasswordCipher(password);
    String key = DecodeData(p + 10 + pswdLen, int(keyLen), pw->cipher);
    sessionCipher.Prepare(key.Data(), key.Length());
    String text = DecodeData(p + 14 + pswdLen + keyLen, int(reqLen), sessionCipher);
    sessionKey = key;
    String::operator=(static_cast<String&&>(text));
    return 1;
}

int QVRequest::GetParamsCount() const {
    int count = 0;
    for (int i = 1; i <= Length(); i++)
        if ((*this)[i] == '\n') count++;
    return count;
}

String QVRequest::GetParam(int i, int trim) const {
    String piece = GetWord(i, '\n');
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
