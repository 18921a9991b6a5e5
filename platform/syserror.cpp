#include "platform/syserror.h"

#include <cstring>

namespace {

// strerror_r comes in two shapes; overloading on its result type picks the
// right reading for whichever one the C library declares.
[[maybe_unused]] const char* ErrorText(int xsiResult, const char* buf) {
    return xsiResult == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* ErrorText(const char* gnuResult, const char*) {
    return gnuResult;
}

}  // namespace

String GetErrorStr(int err) {
    char buf[1024];
    buf[0] = 0;
    const char* text = ErrorText(strerror_r(err, buf, sizeof buf), buf);
    return text ? String(text) : String();
}
