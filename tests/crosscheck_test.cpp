// The bytes the agent puts on the wire do not depend on the host: a fixed
// request packet and a fixed reply, built and taken apart here with every
// value form, plus checksums and digests of a fixed block, must match byte
// for byte the record made on x86-64 (tests/data/crosscheck-x86-64.txt).
// The same test runs on arm64, s390x (big-endian) and the baseline x86-64
// (tools/test.sh arch ...), so a byte-order, char-signedness or word-size
// fault anywhere on these paths shows as a differing record.
//
// To remake the record after a deliberate change of the wire format, run on
// x86-64, in the source directory:
//   TEV_CROSSCHECK_WRITE=tests/data/crosscheck-x86-64.txt build/tev_tests
//   --gtest_filter='CrossCheck.*'   (one command line)
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/clientpacket.h"
#include "protocol/crypto/ciplib.h"
#include "protocol/crypto/crc32.h"
#include "protocol/crypto/md5.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"
#include "protocol/valueforms.h"

namespace {

std::string Hex(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(two, sizeof two, "%02x", b[i]);
        out += two;
    }
    return out;
}

std::string Hex(const String& s) {
    return Hex(s.Data(), size_t(s.Length()));
}

String Bytes(const char* p, size_t n) {
    return String(p, int(n));
}

// The fixed inputs: a password and session key with bytes above 0x7F, and a
// free text with CR, LF, '%', a zero byte and bytes above 0x7F.
const char kPassword[] = "p\xe4sswort\xff";
const char kSessionKey[] = "0123456789abcdef\x80\xfe";
const char kFreeText[] = "line one\r\nline \xe9two\n50% kept\x00tail\xff";

// 4096 bytes: every byte value 16 times in a scrambled order, long enough
// for the checksum's wide paths and their tails.
std::string Block() {
    std::string b(4096, '\0');
    for (size_t i = 0; i < b.size(); i++) b[i] = char((i * 167 + (i >> 8)) & 0xFF);
    return b;
}

struct tm FixedTime() {
    struct tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_mday = 5;
    t.tm_mon = 11;
    t.tm_year = 126;
    t.tm_hour = 7;
    t.tm_min = 45;
    t.tm_sec = 9;
    return t;
}

in_addr Loopback() {
    in_addr a;
    a.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Every record of this host, in a fixed order. Also checks, on this host,
// that each thing built is taken apart into what it was built from.
std::vector<std::pair<std::string, std::string>> MakeRecords() {
    std::vector<std::pair<std::string, std::string>> r;
    const String password = Bytes(kPassword, sizeof kPassword - 1);
    const String key = Bytes(kSessionKey, sizeof kSessionKey - 1);
    const String free = Bytes(kFreeText, sizeof kFreeText - 1);

    // The request: the value forms as parameters, then framing and cipher.
    TStrList params;
    params.Add(tevEncodeStrings(free));
    params.Add(tevFormatInt(-2147483647 - 1));
    params.Add(tevFormatInt64(42));
    params.Add(tevFormatInt64(-9223372036854775807LL - 1));
    params.Add(tevFormatReal(-1.5));
    params.Add(tevFormatReal(12345.678901));
    params.Add(tevFormatTime(FixedTime()));
    params.Add("Name = value\xe9 ");
    const String body = BuildRequestBody("TEST-FileCRC", params);
    const String packet = BuildRequestPacket(password, key, body);
    r.emplace_back("request-body", Hex(body));
    r.emplace_back("request-packet", Hex(packet));

    QVRequest request;
    request = packet;
    EXPECT_EQ(request.ParseInitRequest(password, Loopback()), 1);
    EXPECT_EQ(Hex(request), Hex(body));
    EXPECT_EQ(Hex(request.GetSessionKey()), Hex(key));
    EXPECT_EQ(Hex(tevDecodeStrings(request.GetParam(2, 0))), Hex(free));

    // Decoding the values back, written in a form that is exact on every
    // host (%a for the doubles).
    char decoded[512];
    const struct tm t = tevDecodeTime(request.GetParam(8, 0));
    std::snprintf(decoded, sizeof decoded, "%d|%lld|%lld|%a|%a|%d.%d.%d %d:%d:%d|%d|%d|%d",
                  tevDecodeInt(request.GetParam(3, 0)), tevDecodeInt64(request.GetParam(4, 0)),
                  tevDecodeInt64(request.GetParam(5, 0)), tevDecodeReal(request.GetParam(6, 0)),
                  tevDecodeReal(request.GetParam(7, 0)), t.tm_mday, t.tm_mon, t.tm_year, t.tm_hour,
                  t.tm_min, t.tm_sec, int(tevDecodeBool("1")), int(tevDecodeBool("01")),
                  request.GetParamsCount());
    r.emplace_back("decoded-values", decoded);
    r.emplace_back("named-param", Hex(request.GetNamedParam("Name")));

    // The reply: every parameter operation, then the framed packet.
    TEVReply reply;
    reply.InitPacket(nullptr, key);
    reply.SetResult("200");
    reply.AddIntParam(-5);
    reply.AddIntParam(7LL);
    reply.AddIntParam(-1234567890123LL);
    reply.AddRealParam(3.14159265358979);
    reply.AddRealParam(-0.00005);
    reply.AddBoolParam(1);
    reply.AddBoolParam(0);
    reply.AddTimeParam(FixedTime());
    reply.AddStringParam(free, 1);
    reply.AddVarParams("%s=%u", "size", 4000000000u);
    const String replyBody = String(reply) + "\r";
    reply.FinalizePacket();
    r.emplace_back("reply-body", Hex(replyBody));
    r.emplace_back("reply-packet", Hex(reply));
    String back;
    EXPECT_EQ(ParseReplyPacket(reply, key, back), 1);
    EXPECT_EQ(Hex(back), Hex(replyBody));

    // Checksums and digests of the block, whole and in odd pieces.
    const std::string block = Block();
    TCRC32 crc;
    char word[16];
    std::snprintf(word, sizeof word, "%08x", crc.GetBlockCRC(block.data(), int(block.size())));
    r.emplace_back("crc32-block", word);
    crc.InitCRC();
    for (size_t at = 0, step = 1; at < block.size(); at += step, step = step * 3 % 1000 + 1)
        crc.UpdateCRC(block.data() + at, int(std::min(step, block.size() - at)));
    std::snprintf(word, sizeof word, "%08x", crc.GetCRC());
    r.emplace_back("crc32-pieces", word);
    THash_SHA sha;
    r.emplace_back("sha1-block", Hex(sha.GetHash(block.data(), long(block.size())), 20));
    MD5Context ctx;
    unsigned char md5[16];
    MD5Open(&ctx);
    MD5Digest(&ctx, block.data(), 1000);
    MD5Digest(&ctx, block.data() + 1000, static_cast<unsigned long>(block.size() - 1000));
    MD5Close(&ctx, md5);
    r.emplace_back("md5-block", Hex(md5, 16));
    r.emplace_back("upgrade-trailer", Hex(UpgradeTrailer(Bytes(block.data(), 3000), key)));
    return r;
}

std::map<std::string, std::string> ReadRecords(const std::string& path) {
    std::map<std::string, std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t sp = line.find(' ');
        if (sp != std::string::npos) out[line.substr(0, sp)] = line.substr(sp + 1);
    }
    return out;
}

TEST(CrossCheck, WireBytesMatchTheX86Record) {
    const auto records = MakeRecords();
    if (const char* write = std::getenv("TEV_CROSSCHECK_WRITE")) {
        std::ofstream out(write);
        out << "# Made on x86-64 by tests/crosscheck_test.cpp; every host must give these.\n";
        for (const auto& rec : records) out << rec.first << ' ' << rec.second << '\n';
        ASSERT_TRUE(out.good()) << write;
        GTEST_SKIP() << "record written to " << write;
    }
    const auto want = ReadRecords(std::string(TEV_TESTDATA) + "/crosscheck-x86-64.txt");
    ASSERT_EQ(want.size(), records.size()) << "crosscheck-x86-64.txt is missing or out of date";
    for (const auto& rec : records) {
        SCOPED_TRACE(rec.first);
        const auto it = want.find(rec.first);
        ASSERT_NE(it, want.end());
        EXPECT_EQ(rec.second, it->second);
    }
}

}  // namespace
