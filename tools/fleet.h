// One request sent to many agents at once (tevctl --hosts, -H a,b,c): a
// pool of worker threads, no more than asked for and never more than there
// are hosts, takes the hosts in order, each one exchange at a time with the
// client's protocol code (protocol/clientpacket.h: its time limit, its cap
// on the reply's size, a fresh session key per host). The outcomes are
// handed back in the order of the hosts, as soon as a host and every host
// before it are done, so the output can stream in a fixed order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/zostring.h"
#include "tools/hostlist.h"

// What is sent to every host.
struct TFleetRequest {
    String password;
    String command;
    std::vector<String> params;
    int timeoutMs;  // for one host: resolve, connect, send and receive
};

// What came back from one host.
struct THostOutcome {
    // ExchangePacket's result (1 a reply packet came, 0 closed without
    // one, -1 failed or timed out); 1 also requires the reply to decrypt
    // and split, otherwise rc is 0 and error "malformed reply".
    int rc = -1;
    String code;
    std::vector<String> values;
    std::string error;  // why there is no reply, when rc != 1
};

// The list as the protocol code takes it.
void FillList(const std::vector<String>& items, TStrList& list);

// Sends req to host:port and waits for the reply. Any thread.
THostOutcome AskHost(const std::string& host, int port, const TFleetRequest& req);

// Asks every host of hosts with at most parallel (>= 1) threads at once and
// calls report(i, outcome) on the calling thread for i = 0, 1, ... in
// order. Returns when all are reported. The run takes at most about
// ceil(hosts / parallel) times req.timeoutMs.
void AskHosts(const std::vector<THostEntry>& hosts, const TFleetRequest& req, int parallel,
              const std::function<void(size_t, const THostOutcome&)>& report);
