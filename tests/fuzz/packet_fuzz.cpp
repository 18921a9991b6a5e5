// Fuzz target: the bytes a peer sends before it is authenticated, and the
// request text the handlers read once it is.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "protocol/crypto/twofish.h"
#include "protocol/qvrequest.h"
#include "protocol/tev_const.h"
#include "protocol/valueforms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Twofish_initialise(), true);
    (void)ready;
    const char* bytes = reinterpret_cast<const char*>(data);
    const int n = int(size);
    in_addr peer;
    peer.s_addr = 0;

    // As received: an empty password lets the input reach the decryption.
    for (const char* password : {"", "secret"}) {
        QVRequest request;
        request.AddData(bytes, n);
        if (request.WholePacket()) request.ParseInitRequest(String(password), peer);
    }

    // As a decrypted parameter block.
    QVRequest params;
    params.AddData(bytes, n);
    for (int i = 0; i <= params.GetParamsCount() + 1; i++) params.GetParam(i, i & 1);
    params.GetNamedParam("Host");
    tevDecodeStrings(params);
    tevEncodeStrings(params);
    tevDecodeInt64(params);
    tevDecodeTime(params);
    return 0;
}
