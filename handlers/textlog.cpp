#include "handlers/textlog.h"

#include "config/settings.h"
#include "handlers/replies.h"
#include "platform/tempfile.h"
#include "protocol/valueforms.h"

namespace {

struct WatchState {
    long long position = 0;
    long long lastSize = 0;
    long long lastAge = 0;
    long long fileSize = 0;
    int matchedFirst = 0;
};

// The three state numbers from parameters first .. first + 2. Returns false
// when one is not a whole decimal number.
bool DecodeState(const QVRequest& Req, int first, WatchState& st) {
    long long v[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++)
        if (!tevDecodeInt64(Req.GetParam(first + i, 1), &v[i])) return false;
    st.position = v[0];
    st.lastSize = v[1];
    st.lastAge = v[2];
    return true;
}

void AddState(TEVReply& Reply, const WatchState& st, bool withMatchedFirst) {
    Reply.AddIntParam(st.position);
    Reply.AddIntParam(st.lastSize);
    Reply.AddIntParam(st.lastAge);
    Reply.AddIntParam(st.fileSize);
    if (withMatchedFirst) Reply.AddBoolParam(st.matchedFirst);
}

// Steps shared by both commands once the file and the search are known: the
// scan, and with scanAll 0 a second scan that tells whether another matching
// line is waiting (its line is not reported; the state returned then resumes
// right after the reported line).
void ScanAndReply(const String& name, TLineMatcher& matcher, WatchState st, int scanAll,
                  bool withMatchedFirst, TEVReply& Reply) {
    String line, error;
    const long long result = ScanTextLog(name, matcher, st.position, st.lastSize, st.lastAge,
                                         scanAll, st.matchedFirst, line, error, st.fileSize);
    if (result < 0) {
        Reply.SetResult("301");
        Reply += error;
        return;
    }
    Reply.SetResult("200");
    Reply.AddIntParam(result);
    Reply.AddStringParam(line, 1);
    if (scanAll) {
        Reply.AddBoolParam(0);
        AddState(Reply, st, withMatchedFirst);
        return;
    }
    const WatchState firstState = st;
    String nextLine, nextError;
    const long long next = ScanTextLog(name, matcher, st.position, st.lastSize, st.lastAge, 0,
                                       st.matchedFirst, nextLine, nextError, st.fileSize);
    if (next > 0) {
        Reply.AddBoolParam(1);
        AddState(Reply, firstState, withMatchedFirst);
    } else {
        Reply.AddBoolParam(0);
        AddState(Reply, st, withMatchedFirst);
    }
}

// Right and file name checks of both commands; the resolved name, or empty
// after a failure reply.
String ResolveLog(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> settings = Settings();
    if (!settings->textlog) {
        ReplyTestNotAllowed(Reply);
        return String();
    }
    String name = GetFirstMatchedFile(Req.GetParam(1, 1));
    if (!name.Length()) {
        Reply.SetResult("301");
        Reply += "File does not exist";
    }
    return name;
}

}  // namespace

void DecodeFilter(const QVRequest& Req, TTextLogFilter& filter, int i) {
    filter.expression = tevDecodeStrings(Req.GetParam(i, 1));
    filter.isExpression = Req.GetParam(i + 1, 1) == "1" ? 1 : 0;
    filter.caseSensitive = tevDecodeBool(Req.GetParam(i + 2, 1)) ? 1 : 0;
    filter.wholeWord = tevDecodeBool(Req.GetParam(i + 3, 1)) ? 1 : 0;
}

void ProcessTest_TextLog(const QVRequest& Req, TEVReply& Reply) {
    const String name = ResolveLog(Req, Reply);
    if (!name.Length()) return;
    TTextLogFilter filter;
    filter.expression = tevDecodeStrings(Req.GetParam(2, 1));
    WatchState st;
    if (!DecodeState(Req, 3, st)) return ReplyWrongParameter(Reply);
    filter.isExpression = tevDecodeBool(Req.GetParam(6, 1)) ? 1 : 0;
    const int scanAll = tevDecodeBool(Req.GetParam(7, 1)) ? 1 : 0;
    filter.caseSensitive = tevDecodeBool(Req.GetParam(8, 1)) ? 1 : 0;
    filter.wholeWord = tevDecodeBool(Req.GetParam(9, 1)) ? 1 : 0;
    TLineMatcher matcher;
    matcher.Init(filter, nullptr);
    ScanAndReply(name, matcher, st, scanAll, false, Reply);
}

void ProcessTest_TextLog2(const QVRequest& Req, TEVReply& Reply) {
    const String name = ResolveLog(Req, Reply);
    if (!name.Length()) return;
    WatchState st;
    if (!DecodeState(Req, 2, st)) return ReplyWrongParameter(Reply);
    const int scanAll = tevDecodeBool(Req.GetParam(5, 1)) ? 1 : 0;
    TTextLogFilter first, second;
    DecodeFilter(Req, first, 6);
    const bool useSecond = tevDecodeBool(Req.GetParam(10, 1));
    if (useSecond) DecodeFilter(Req, second, 11);
    TLineMatcher matcher;
    matcher.Init(first, useSecond ? &second : nullptr);
    ScanAndReply(name, matcher, st, scanAll, true, Reply);
}
