// Fuzz target: the configuration file loader and the in-place rewrite.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/settings.h"

namespace {

// A private directory for the file under test (the save writes .New and
// .Old beside it), in $TMPDIR (else /tmp), removed with everything in it
// when the fuzzer exits, so runs do not pile up folders. A crash or timeout
// ends the fuzzer without that clean-up; tools/test.sh points TMPDIR into
// its own work directory, which goes in any case.
class TScratchDir {
  public:
    TScratchDir() {
        const char* tmp = getenv("TMPDIR");
        std::string tmpl =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tev-cfgfuzz-XXXXXX";
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~TScratchDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    std::string path;  // empty when it could not be made
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TScratchDir dir;
    if (dir.path.empty()) return 0;
    const std::string path = dir.path + "/tev.cfg";
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
