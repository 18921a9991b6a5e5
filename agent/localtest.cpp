#include "agent/localtest.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "agent/cfgwarnings.h"
#include "agent/dispatch.h"
#include "agent/replyprint.h"
#include "config/settings.h"
#include "platform/requestscope.h"
#include "protocol/clientpacket.h"

namespace {

// Loads cfgfile into the published settings; prints the reason and returns
// false when it does not load.
bool LoadForTest(const char* cfgfile) {
    TEVSettings.Update([cfgfile](TTEVSettings& s) {
        std::strncpy(s.cfgfile, cfgfile, sizeof s.cfgfile - 1);
        s.cfgfile[sizeof s.cfgfile - 1] = 0;
    });
    String error;
    const int ok = TEVSettings.LoadOptions(error);
    error.SetZero();
    if (!ok) {
        std::fprintf(stderr, "tev: %s does not load:\n%s\n", cfgfile, error.Data());
        return false;
    }
    if (error.Length()) std::fprintf(stderr, "tev: Warning: %s\n", error.Data());
    TStrList warnings;
    IgnoredCfgLineWarnings(warnings);
    for (int i = 0; i < warnings.Count(); i++) {
        String line = warnings[i];
        line.SetZero();
        std::fprintf(stderr, "tev: %s\n", line.Data());
    }
    TEVSettings.Update([](TTEVSettings& s) {
        s.logsuccess = 0;
        s.logfails = 0;
        s.verbose = 0;
        s.debug = 0;
        s.interactive = 0;
    });
    return true;
}

}  // namespace

int RunLocalTest(const char* cfgfile, int argc, char** argv) {
    if (argc < 1) {
        std::fprintf(stderr, "tev: --test needs a configuration file and a request\n");
        return 2;
    }
    const String command(argv[0]);
    TStrList params;
    for (int i = 0; i < argc; i++) {
        if (std::strpbrk(argv[i], "\r\n")) {
            std::fprintf(stderr, "tev: line break in argument (write it as %%0A/%%0D): %s\n",
                         argv[i]);
            return 2;
        }
        if (i > 0) params.Add(String(argv[i]));
    }
    if (command == "UpgradeCode") {
        std::fprintf(stderr, "tev: UpgradeCode needs a running agent: use tevctl -U\n");
        return 2;
    }
    if (!LoadForTest(cfgfile)) return 2;

    QVRequest request;
    request = BuildRequestBody(command, params);
    TEVReply reply;
    reply.InitPacket(nullptr, String());
    TConnection where;
    where.socket = -1;
    where.address.s_addr = htonl(INADDR_LOOPBACK);
    where.acceptMs = 0;
    UpgradeRec upgrade;
    TRunRequest after = rrNone;
    {
        // The time budget a session's request has; no peer to watch.
        TRequestScope scope(-1, RequestBudgetMs(Settings()->timeout));
        ProcessQVRequest(request, reply, where, upgrade, after);
    }

    reply.CommandSeparatorCheck();
    String body(reply);
    body += '\r';
    String code;
    TStrList values;
    SplitReplyBody(body, code, values);
    return PrintReply("tev", command, code, values, false);
}
