#include "protocol/tev_const.h"

#include "core/tevassert.h"
#include "protocol/crypto/md5.h"

const int SIZELEN_AUTH = 2;
const int SIZELEN_PSWD = 2;
const int SIZELEN_KEY = 2;
const int SIZELEN_REQUEST = 4;
const int SIZELEN_MINIMUM = SIZELEN_PSWD + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH + 4;

String EncodeLength(const String& s, int digits) {
    const unsigned int len = static_cast<unsigned int>(s.Length());
    TEV_ASSERT(digits <= int(sizeof(len)), "digits<=sizeof(len)", "tev_const", 140,
               "String EncodeLength(const String&, int)");
    char bytes[4];
    for (int i = 0; i < digits; i++) bytes[i] = char((len >> (8 * i)) & 0xFF);
    return String(bytes, digits);
}

unsigned int DecodeLength(const char* p, int digits) {
    TEV_ASSERT(digits <= int(sizeof(int)), "digits<=sizeof(int)", "tev_const", 155,
               "int DecodeLength(const char*, int)");
    if (digits != 1 && digits != 2 && digits != 4) return 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    unsigned int v = 0;
    for (int i = digits - 1; i >= 0; i--) v = (v << 8) | b[i];
    return v;
}

String EncodeData(const String& data, const TCfb8Key& key, int digits) {
    if (data.Length() == 0) return String();
    String out;
    out.SetLength(digits + data.Length());
    if (digits > 0) {
        const String len = EncodeLength(data, digits);
        for (int i = 1; i <= digits; i++) out[i] = len[i];
    }
    key.Encrypt(data.Data(), out.Data() + digits, data.Length());
    return out;
}

String EncodeData(const String& data, const String& key, int digits) {
    if (data.Length() == 0) return String();
    TCfb8Key cipher;
    cipher.Prepare(key.Data(), key.Length());
    return EncodeData(data, cipher, digits);
}

String DecodeData(const char* data, int n, const TCfb8Key& key) {
    if (!data || n <= 0) return String();
    String out;
    out.SetLength(n);
    key.Decrypt(data, out.Data(), n);
    return out;
}

String DecodeData(const String& data, const String& key) {
    if (data.Length() == 0) return String();
    TCfb8Key cipher;
    cipher.Prepare(key.Data(), key.Length());
    return DecodeData(data.Data(), data.Length(), cipher);
}

String EncodePswd(const String& password) {
    if (password.Length() == 0) return String();
    MD5Context ctx;
    unsigned char digest[16];
    MD5Open(&ctx);
    MD5Digest(&ctx, password.Data(), static_cast<unsigned long>(password.Length()));
    MD5Close(&ctx, digest);
    return String(reinterpret_cast<const char*>(digest), 16);
}

bool WholePacketRule(const String& bytes) {
    if (bytes.Length() < SIZELEN_MINIMUM) return false;
    const unsigned long long total = 4ull + DecodeLength(bytes.Data(), 4);
    return total <= static_cast<unsigned long long>(bytes.Length());
}

// Each thread keeps its own prepared key: nothing is shared, so sessions
// never wait for each other here, and session threads are reused, so each
// prepares the key about once per password.
std::shared_ptr<const TPreparedKey> PasswordCipher(const String& password) {
    thread_local std::shared_ptr<const TPreparedKey> cache;
    if (cache && cache->text == password) return cache;
    auto fresh = std::make_shared<TPreparedKey>();
    fresh->text = password;
    fresh->cipher.Prepare(password.Data(), password.Length());
    fresh->digest = EncodePswd(password);
    cache = fresh;
    return cache;
}
