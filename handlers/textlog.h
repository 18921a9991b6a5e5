// Text log tests: search of a growing log for new lines holding a text or
// satisfying an expression, with the watch state held by the server.
//
// Replies: "600" "test is not allowed" (textlog right off); "301" "File does
// not exist" (no file matches the name); "501" "Wrong parameter" (a state
// number that is not a whole decimal number); "301" and the scan's error
// text; otherwise "200", the match offset, the matching line (first 1024
// bytes, multi-line form), the more flag, position, lastSize, lastAge and the
// file size, and for TEST-TextLog2 the matched-first flag. Any thread.
#pragma once

#include "handlers/logscan.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// Reads the filter whose expression is parameter i: expression (multi-line
// form), isExpression ("1" or not), caseSensitive and wholeWord flags.
void DecodeFilter(const QVRequest& Req, TTextLogFilter& filter, int i);

void ProcessTest_TextLog(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_TextLog2(const QVRequest& Req, TEVReply& Reply);
