// Fuzz target: the configuration file loader and the in-place rewrite.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tev-cfgfuzz-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
    }();
    const std::string path = dir + "/tev.cfg";
    FILE* f = std::fopen(path.c_str(), "we");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    TTEVSettings s;
    std::snprintf(s.cfgfile, sizeof s.cfgfile, "%s", path.c_str());
    String error;
    LoadOptions_(s, error);
    s.comment = "fuzzed\r\nsecond line";
    SaveOptions_(s, error);
    return 0;
}
