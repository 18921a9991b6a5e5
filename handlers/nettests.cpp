#include "handlers/nettests.h"

#include <sys/time.h>

#include <memory>

#include "config/settings.h"
#include "handlers/netparams.h"
#include "handlers/replies.h"
#include "platform/requestscope.h"
#include "platform/sockets.h"

namespace {

// Answers are received into a fixed buffer of this size.
const int kAnswerBufferSize = 8192;
// TEST-TCP without a time limit of its own still ends.
const int kDefaultTcpLimitMs = 120000;

// The greatest answer length asked for, capped to the buffer; below 1 no
// answer is awaited.
int AnswerLength(int asked) {
    if (asked < 1) return 0;
    return asked > kAnswerBufferSize ? kAnswerBufferSize : asked;
}

// Wall-clock reading with microseconds, as the server expects the duration
// of an exchange to be measured.
struct timeval Now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

// Whole seconds in milliseconds plus the microsecond difference in whole
// milliseconds (truncated), in 32 bits.
int ElapsedMs(const struct timeval& start, const struct timeval& end) {
    const long long ms = (long long)(end.tv_sec - start.tv_sec) * 1000 +
                         (long long)(end.tv_usec - start.tv_usec) / 1000;
    return int(ms);
}

// The reply of an exchange: "200", the duration and the encoded answer (the
// first answerLen bytes, empty when none were asked for) when result > 0;
// otherwise "301", the error text and the result.
void ReplyExchange(TEVReply& Reply, int result, int elapsedMs, const char* answer, int answerLen,
                   const String& error) {
    if (result <= 0) {
        Reply.SetResult("301");
        Reply.AddStringParam(error, 0);
        Reply.AddIntParam(result);
        return;
    }
    Reply.SetResult("200");
    Reply.AddIntParam(elapsedMs);
    const int received = answerLen > 0 ? (result < answerLen ? result : answerLen) : 0;
    Reply.AddStringParam(String(answer, received), 1);
}

// The error text of a failed exchange: the lower layer's, or the reason
// the request's work was cut short (its peer gone, its budget spent).
String CutShort(int result, const String& error) {
    if (result > 0) return error;
    if (RequestPeerGone()) return String(kPeerGoneText);
    if (RequestBudgetSpent()) return String(kBudgetReachedText);
    return error;
}

}  // namespace

void ProcessTest_TCP(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->tcp) {
        ReplyTestNotAllowed(Reply);
        return;
    }
    int port = 0;
    int limitMs = 0;
    int asked = 0;
    if (!DecodePortParam(Req, 2, port) || !DecodeIntParam(Req, 3, limitMs) ||
        !DecodeIntParam(Req, 5, asked)) {
        ReplyWrongParameter(Reply);
        return;
    }
    const String host = ZeroTerminated(Req.GetParam(1, 1));
    const String data = DecodeDataParam(Req, 4);
    // Every step of the exchange is bounded, so a peer that never reads or
    // never answers cannot hold the session beyond the limit.
    if (limitMs <= 0) limitMs = kDefaultTcpLimitMs;
    const int answerLen = AnswerLength(asked);

    char answer[kAnswerBufferSize];
    String error;
    const struct timeval start = Now();
    const int result = SendReceiveTCPPacket(host.Data(), port, limitMs, data.Data(), answer,
                                            data.Length(), answerLen, error);
    const struct timeval end = Now();
    ReplyExchange(Reply, result, ElapsedMs(start, end), answer, answerLen, CutShort(result, error));
}

void ProcessTest_UDP(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->udp) {
        ReplyTestNotAllowed(Reply);
        return;
    }
    int port = 0;
    int limitMs = 0;
    int attempts = 0;
    int asked = 0;
    if (!DecodePortParam(Req, 2, port) || !DecodeIntParam(Req, 3, limitMs) ||
        !DecodeIntParam(Req, 4, attempts) || !DecodeIntParam(Req, 6, asked)) {
        ReplyWrongParameter(Reply);
        return;
    }
    const String data = DecodeDataParam(Req, 5);
    if (attempts == 0 || data.Length() == 0) {
        ReplyWrongParameter(Reply);
        return;
    }
    const String host = ZeroTerminated(Req.GetParam(1, 1));
    int limitSeconds = limitMs / 1000;
    if (limitSeconds < 1) limitSeconds = 1;
    const int answerLen = AnswerLength(asked);

    // A negative count makes no attempt: "301", an empty text and 0.
    char answer[kAnswerBufferSize];
    String error;
    int result = 0;
    int elapsedMs = 0;
    // Attempts x limit may be far longer than anyone waits: the attempts
    // end with the request's budget, or as soon as the peer has gone.
    for (int i = 0; i < attempts; i++) {
        const struct timeval start = Now();
        result = SendReceiveUDPPacket(host.Data(), port, limitSeconds, data.Data(), answer,
                                      data.Length(), answerLen, error);
        const struct timeval end = Now();
        elapsedMs = ElapsedMs(start, end);
        if (result > 0 || RequestBudgetSpent() || RequestPeerGone()) break;
    }
    ReplyExchange(Reply, result, elapsedMs, answer, answerLen, CutShort(result, error));
}
