// Parameter readers shared by the network tests and the actions: checked
// numbers, port numbers, and untrimmed (multi-line) data parameters.
#pragma once

#include "core/zostring.h"
#include "protocol/qvrequest.h"

// Parameter i (1-based), trimmed, read with the checked tevDecodeInt: only
// '-' and digits, the empty text reading as 0. Returns 1 with out set, or 0
// with out untouched. Any thread.
int DecodeIntParam(const QVRequest& Req, int i, int& out);

// DecodeIntParam, and the number must fit a port field (0 to 65535): a
// larger or negative number would silently address another port. Returns 1
// with out set, or 0 with out untouched. Any thread.
int DecodePortParam(const QVRequest& Req, int i, int& out);

// Parameter i untrimmed and decoded from the multi-line form (%0A, %0D).
// Only lines ended by LF are parameters: the closing CR after the last LF
// reads as empty, so a missing trailing parameter is never the CR. Any
// thread.
String DecodeDataParam(const QVRequest& Req, int i);
