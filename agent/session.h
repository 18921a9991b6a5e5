// One client session as a state machine: it is handed the bytes of one
// connection and answers what it needs next (more bytes until a deadline, a
// request run, a reply written, the end). It collects one request packet,
// has it authenticated and decrypted, dispatches it and builds the
// encrypted reply (or, after an accepted "UpgradeCode", takes in the new
// program). It never reads from the connection, writes to it, waits on it or
// closes it (only a running handler's time budget watches it for the peer's
// end): whoever drives it (agent/pool.h) owns the descriptor, every wait and
// every thread.
#pragma once

#include <memory>

#include "agent/connection.h"
#include "agent/dispatch.h"
#include "agent/upgrade.h"
#include "config/settings.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// What a session needs next.
enum TSessionNeed {
    snRead,   // more bytes for OnBytes, until ExpiryMs; the end of the
              // connection, a failed read or the expiry ends the session
    snRun,    // a whole request: RunRequest (Request().def tells whether
              // its handler may take long)
    snWrite,  // Output() sent whole, then OnWritten
    snClose,  // over: Finish, close the connection, then Closed
};

class TSession {
  public:
    // A session for conn, under the settings in force now: one password and
    // one set of limits for the whole request.
    explicit TSession(const TConnection& conn);

    // Takes n (> 0) received bytes. Returns snRead while the request (or an
    // upgrade transfer) is not complete, snRun once a request has been
    // accepted, snWrite when a transfer has ended and its reply waits, or
    // snClose for a request refused ("Request refused: <reason>") or out
    // of memory ("Request ended: not enough memory").
    TSessionNeed OnBytes(const char* data, int n);

    // When the session stops waiting for bytes (NowMs): for a request, its
    // deadline or the idle limit after the last bytes, whichever comes
    // first, and until the header is in and right, no later than the
    // header deadline fixed at the arrival (SilentExpiryMs); for a transfer, the `transferidle`
    // limit after its last bytes or its deadline. LLONG_MAX when it waits for none.
    long long ExpiryMs() const;

    // The accepted request, split; meaningful once OnBytes returned snRun.
    const TRequestLine& Request() const { return line; }

    // Runs the accepted request and builds its reply. snWrite, or snClose
    // when memory ran out building the reply. The calling thread may be
    // held as long as the handler takes.
    TSessionNeed RunRequest();

    // The reply to send now, and whether the connection ends right after it
    // (so the sender may hold its tail back to leave with the end).
    const String& Output() const { return reply; }
    bool EndsAfterOutput() const { return endsAfterOutput; }

    // The reply has been sent (or given up). Raises the run-state change the
    // request asked for; snRead when an upgrade transfer follows, otherwise
    // snClose.
    TSessionNeed OnWritten();

    // Before the connection is closed: a transfer cut short frees the
    // upgrade slot and its file.
    void Finish();
    // After the connection is closed: a completed transfer has the main
    // thread run its update script.
    void Closed();

  private:
    TSessionNeed OnRequestBytes(const char* data, int n);
    TSessionNeed OnTransferBytes(const char* data, int n);

    TConnection conn;
    const std::shared_ptr<const TTEVSettings> settings;
    QVRequest request;
    TRequestLine line;
    TEVReply reply;
    UpgradeRec upgrade;
    String upgradeError;
    TRunRequest after = rrNone;
    bool endsAfterOutput = true;
    long long lastReceiveMs;           // NowMs of the last chunk (or the arrival)
    const long long deadlineMs;        // the request must be whole by then
    const long long headerDeadlineMs;  // the header must be in and right by then
    bool authentic = false;            // tag and digest have passed
    bool wholePacket = false;
    bool transferEnded = false;        // the transfer's reply is out
    long long lastTransferMs = 0;      // NowMs of the last transfer chunk
    long long transferDeadlineMs = 0;  // the transfer must be complete by then
};

// The moment (NowMs) a connection whose header (length, tag, digest) is
// not in is given up under the idle limit timeout (ms; below 1 for none):
// its request deadline or its idle limit, whichever comes first, both
// counted from its arrival, however its bytes trickle in; on a reserve
// place, a second after its arrival when that is earlier. Pure.
long long SilentExpiryMs(const TConnection& conn, int timeout);
