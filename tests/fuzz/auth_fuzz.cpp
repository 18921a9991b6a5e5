// Fuzz target: the early authentication of a packet that is still arriving.
// The input is cut into the pieces a peer might send; after every piece the
// header is judged as the session judges it, and once it has passed (the
// fuzzer can reach that with an empty password) the whole packet is parsed.
// Whatever the bytes, the judgement must never read outside them, must not
// change its mind once made, and a refused header must never parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/crypto/twofish.h"
#include "protocol/qvrequest.h"
#include "protocol/tev_const.h"

namespace {

void Feed(const char* bytes, int n, const String& password, int step) {
    in_addr peer;
    peer.s_addr = 0;
    QVRequest request;
    int verdict = hcIncomplete;
    for (int at = 0; at < n; at += step) {
        request.AddData(bytes + at, n - at < step ? n - at : step);
        const int now = request.CheckHeader(password, peer);
        // A judgement, once made, stands as more bytes arrive.
        if (verdict != hcIncomplete && now != verdict) std::abort();
        verdict = now;
        if (verdict == hcRefused) return;
    }
    if (verdict != hcAuthentic || !request.WholePacket()) return;
    if (request.ParseInitRequest(password, peer) && request.GetSessionKey().Length() < 8)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Twofish_initialise(), true);
    (void)ready;
    if (size < 1) return 0;
    // The first byte picks the piece size, the rest is the stream.
    const int step = 1 + data[0] % 32;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const int n = int(size - 1);
    Feed(bytes, n, String(), step);
    Feed(bytes, n, String("secret"), step);
    return 0;
}
