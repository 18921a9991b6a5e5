#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "protocol/crypto/twofish.h"
#include "protocol/qvrequest.h"
#include "protocol/tev_const.h"
#include "protocol/tevreply.h"

namespace {

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), s.Length()) : "";
}
String Bytes(const std::string& s) {
    return String(s.data(), int(s.size()));
}

class ProtocolTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Twofish_initialise(); }
    in_addr peer{htonl(INADDR_LOOPBACK)};
};

TEST_F(ProtocolTest, LengthFields) {
    String s;
    s.SetLength(300);
    EXPECT_EQ(Str(EncodeLength(s, 2)), std::string("\x2C\x01", 2));
    EXPECT_EQ(Str(EncodeLength(s, 4)), std::string("\x2C\x01\x00\x00", 4));
    EXPECT_EQ(DecodeLength("\x2C\x01\x00\x00", 4), 300u);
    EXPECT_EQ(DecodeLength("\x2C\x01", 2), 300u);
    EXPECT_EQ(DecodeLength("\xFF\xFF\xFF\xFF", 4), 0xFFFFFFFFu);
    EXPECT_EQ(DecodeLength("\x2C\x01\x00", 3), 0u);
    EXPECT_EQ(DecodeLength("\x2C", 0), 0u);
}

TEST_F(ProtocolTest, LengthDeathNamesTheSource) {
    EXPECT_DEATH(EncodeLength(String("x"), 5), "tev_const:140");
    EXPECT_DEATH(DecodeLength("12345", 5), "tev_const:155");
}

TEST_F(ProtocolTest, EncodeDataFramesOnlyNonEmptyData) {
    EXPECT_EQ(EncodeData(String(), String("k"), 4).Length(), 0);
    const String framed = EncodeData(String("hello"), String("k"), 4);
    ASSERT_EQ(framed.Length(), 9);
    EXPECT_EQ(DecodeLength(framed.Data(), 4), 5u);
    EXPECT_EQ(Str(DecodeData(framed.Copy(5, 5), String("k"))), "hello");
    // An empty key text is hashed as zero bytes and works like any other.
    EXPECT_EQ(Str(DecodeData(EncodeData(String("x"), String(), 0), String())), "x");
    EXPECT_EQ(EncodePswd(String()).Length(), 0);
    EXPECT_EQ(EncodePswd(String("secret")).Length(), 16);
}

TEST_F(ProtocolTest, WholePacket) {
    QVRequest r;
    r = Bytes(std::string(13, '\0'));
    EXPECT_FALSE(r.WholePacket());
    std::string packet("\x0A\x00\x00\x00\x03\x12", 6);
    packet += std::string(8, '\0');
    r = Bytes(packet);
    EXPECT_TRUE(r.WholePacket());
    r = Bytes(packet + "x");
    EXPECT_TRUE(r.WholePacket());  // complete; the parser judges the surplus
    packet[0] = 0x0B;
    r = Bytes(packet);
    EXPECT_FALSE(r.WholePacket());
    r = Bytes(std::string("\xFF\xFF\xFF\xFF", 4) + std::string(10, '\0'));
    EXPECT_FALSE(r.WholePacket());  // no overflow of N + 4
}

TEST_F(ProtocolTest, EmptyPacketIsRefusedForItsEmptySessionKey) {
    // Well framed and, with an empty password, rightly authenticated; but
    // under an empty session key anyone could read and forge the texts.
    std::string packet("\x0A\x00\x00\x00\x03\x12", 6);
    packet += std::string(8, '\0');
    QVRequest r;
    r = Bytes(packet);
    EXPECT_EQ(r.CheckHeader(String(), peer), hcAuthentic);
    ASSERT_EQ(r.ParseInitRequest(String(), peer), 0);
    EXPECT_EQ(r.Length(), 14);  // the raw packet stays
    EXPECT_EQ(r.GetSessionKey().Length(), 0);

    QVRequest extra;
    extra = Bytes(packet + "x");
    EXPECT_EQ(extra.ParseInitRequest(String(), peer), 0);
    QVRequest swapped;
    packet[4] = 0x12;
    packet[5] = 0x03;
    swapped = Bytes(packet);
    EXPECT_EQ(swapped.ParseInitRequest(String(), peer), 0);
    QVRequest needsPassword;
    needsPassword = Bytes(std::string("\x0A\x00\x00\x00\x03\x12", 6) + std::string(8, '\0'));
    EXPECT_EQ(needsPassword.ParseInitRequest(String("secret"), peer), 0);
}

TEST_F(ProtocolTest, LengthFieldsThatOverrunAreRefusedAtEveryPrefix) {
    // A packet whose inner lengths point past its end, cut at every length.
    std::string body("\x03\x12\xFF\xFF", 4);
    body += std::string(20, 'a');
    for (size_t n = 0; n <= body.size(); n++) {
        std::string cut = body.substr(0, n);
        const unsigned int len = unsigned(cut.size());
        std::string packet(reinterpret_cast<const char*>(&len), 4);
        QVRequest r;
        r = Bytes(packet + cut);
        EXPECT_EQ(r.ParseInitRequest(String("pw"), peer), 0) << n;
    }
}

TEST_F(ProtocolTest, RandomPacketsAreRefusedWithoutHarm) {
    // Well-framed packets of random content: the parser must refuse them
    // (the digest cannot match by chance) and never read outside the bytes.
    unsigned int seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 2000; i++) {
        const unsigned int size = 10 + next() % 200;
        std::string packet(reinterpret_cast<const char*>(&size), 4);
        for (unsigned int j = 0; j < size; j++) packet += char(next() >> 16);
        packet[4] = 0x03;
        packet[5] = 0x12;
        if (i % 2) packet[6] = 16, packet[7] = 0;  // digest length of a real password
        QVRequest r;
        r = Bytes(packet);
        EXPECT_EQ(r.ParseInitRequest(String("pw"), peer), 0);
    }
}

TEST_F(ProtocolTest, HeaderIsJudgedAsSoonAsItsBytesAreIn) {
    const std::string digest = Str(EncodePswd(String("pw")));
    const std::string head = std::string("\x40\x00\x00\x00\x03\x12\x10\x00", 8) + digest;
    std::string wrong = digest;
    wrong[15] = char(wrong[15] ^ 1);
    struct Case {
        const char* name;
        std::string bytes;
        int expected;
    } cases[] = {
        {"nothing yet", "", hcIncomplete},
        {"length field only", head.substr(0, 4), hcIncomplete},
        {"up to the digest", head.substr(0, 8), hcIncomplete},
        {"digest cut short", head.substr(0, 23), hcIncomplete},
        {"right digest", head, hcAuthentic},
        {"right digest, more bytes", head + "more", hcAuthentic},
        {"wrong last digest byte", head.substr(0, 8) + wrong, hcRefused},
        {"first tag byte wrong", std::string("\x40\x00\x00\x00\x12", 5), hcRefused},
        {"second tag byte wrong", std::string("\x40\x00\x00\x00\x03\x03", 6), hcRefused},
        {"no digest for a password", std::string("\x40\x00\x00\x00\x03\x12\x00\x00", 8), hcRefused},
        {"digest length 17", std::string("\x40\x00\x00\x00\x03\x12\x11\x00", 8), hcRefused},
        {"digest length 65535", std::string("\x40\x00\x00\x00\x03\x12\xFF\xFF", 8), hcRefused},
        {"announces 16 MiB + 1", std::string("\xFD\xFF\xFF\x00", 4), hcRefused},
        {"announces 4 GiB", std::string("\xFF\xFF\xFF\xFF", 4), hcRefused},
        {"announces less than a packet", std::string("\x09\x00\x00\x00", 4), hcRefused},
        {"announces 16 MiB exactly", std::string("\xFC\xFF\xFF\x00", 4), hcIncomplete},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVRequest r;
        r = Bytes(c.bytes);
        EXPECT_EQ(r.CheckHeader(String("pw"), peer), c.expected);
    }
}

TEST_F(ProtocolTest, Parameters) {
    QVRequest p;
    p = "Host = a.b \nPort=80\nHost=c\n\r";
    EXPECT_EQ(p.GetParamsCount(), 3);
    EXPECT_EQ(Str(p.GetNamedParam("Host")), "a.b");
    EXPECT_EQ(Str(p.GetNamedParam("Port")), "80");
    EXPECT_EQ(Str(p.GetNamedParam("port")), "");
    EXPECT_EQ(Str(p.GetParam(1, 0)), "Host = a.b ");
    EXPECT_EQ(Str(p.GetParam(1, 1)), "Host = a.b");
    EXPECT_EQ(Str(p.GetParam(4, 1)), "");
    EXPECT_EQ(Str(p.GetParam(7, 1)), "");
    p = "novalue\nx==y\n\r";
    EXPECT_EQ(Str(p.GetNamedParam("novalue")), "");
    EXPECT_EQ(Str(p.GetNamedParam("x")), "=y");
}

TEST_F(ProtocolTest, ReplyBody) {
    TEVReply r;
    r.InitPacket(nullptr, String("key"));
    r.SetResult("200");
    r.AddIntParam(5);
    r.AddBoolParam(0);
    r.AddIntParam(7LL);
    r.AddRealParam(0.5);
    r.AddStringParam(String("a\nb"), 1);
    r.AddStringParam("plain", 0);
    EXPECT_EQ(Str(r), "200\n5\n0\n     7\n0.5000\na%0Ab\nplain\n");

    r.SetResult("500");
    r += "not implemented yet";
    r.AddVarParams("%s=%d", "Port", 1055);
    EXPECT_EQ(Str(r), "500\nnot implemented yet\nPort=1055\n");

    r.SetResult("200");
    const std::string big(2047, 'x');
    r.AddVarParams("%s", big.c_str());
    EXPECT_EQ(r.Length(), 4 + 2047 + 1);
    r.AddVarParams("%s", (big + "yz").c_str());  // 2049 characters: dropped
    EXPECT_EQ(r.Length(), 4 + 2047 + 1);
    r.SetResult("200");
    r.AddVarParams("%s", (big + "y").c_str());  // exactly 2048: cut to 2047
    EXPECT_EQ(r.Length(), 4 + 2047 + 1);
}

TEST_F(ProtocolTest, FinalizePacketEncryptsTheClosedBody) {
    TEVReply r;
    r.InitPacket(nullptr, String("sessionkey"));
    r.SetResult("500");
    r += "text";
    r.FinalizePacket();
    ASSERT_EQ(r.Length(), 4 + 10);
    EXPECT_EQ(DecodeLength(r.Data(), 4), 10u);
    EXPECT_EQ(Str(DecodeData(r.Copy(5, 10), String("sessionkey"))), "500\ntext\n\r");

    TEVReply empty;
    empty.InitPacket(nullptr, String("k"));
    empty.FinalizePacket();
    ASSERT_EQ(empty.Length(), 5);
    EXPECT_EQ(Str(DecodeData(empty.Copy(5, 1), String("k"))), "\r");
}

}  // namespace
