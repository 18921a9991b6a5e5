#include "handlers/netparams.h"

#include "protocol/valueforms.h"

int DecodeIntParam(const QVRequest& Req, int i, int& out) {
    int value = 0;
    if (!tevDecodeInt(Req.GetParam(i, 1), &value)) return 0;
    out = value;
    return 1;
}

int DecodePortParam(const QVRequest& Req, int i, int& out) {
    int value = 0;
    if (!DecodeIntParam(Req, i, value) || value < 0 || value > 65535) return 0;
    out = value;
    return 1;
}

String DecodeDataParam(const QVRequest& Req, int i) {
    if (i < 1 || i > Req.GetParamsCount()) return String();
    return tevDecodeStrings(Req.GetParam(i, 0));
}
