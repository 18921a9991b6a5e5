#include "handlers/replies.h"

void ReplyMessage(TEVReply& Reply, const char* Code, const String& Message) {
    Reply.SetResult(Code);
    Reply += Message;
}

void ReplyTestNotAllowed(TEVReply& Reply) {
    ReplyMessage(Reply, "600", "test is not allowed");
}

void ReplyWrongParameter(TEVReply& Reply) {
    ReplyMessage(Reply, "501", "Wrong parameter");
}
