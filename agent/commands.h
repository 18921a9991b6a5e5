// The command table: every request the agent knows, with what the
// dispatcher needs to run it (handler, who may run it, whether it can wait)
// and what an operator needs to use it (parameters, reply values, the
// setting that allows it). The dispatcher, `tevctl --list`, the REQUESTS
// section of tevctl(1) and the shell completion all come from this table
// alone; tests check that they agree.
#pragma once

#include <cstddef>

#include "agent/commandcontext.h"
#include "core/zostring.h"

// Which right the dispatcher checks before the handler runs.
enum TCommandAccess {
    caHandler,  // none here: the handler checks its own setting (or needs none)
    caManage,   // allowmanage set and the peer listed in manageaddr
    caUpdate,   // allowupdates set and the peer listed in updateaddr
};

// A constant array seen as a range (the table is constant data, built by
// the compiler, so it needs no start-up code and no lock).
template <typename T>
struct TSpan {
    const T* first;
    size_t count;
    const T* begin() const { return first; }
    const T* end() const { return first + count; }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const T& operator[](size_t i) const { return first[i]; }
    const T& back() const { return first[count - 1]; }
};

// One parameter of a request.
struct TParamDoc {
    int position;  // 1-based; 0: any number of lines of this form
    // One word: path (file or folder), folder, mask, text, int, flag, host,
    // port, mode or setting (name=value). path and folder are completed as
    // file names by the shell completion.
    const char* form;
    const char* meaning;
};

// One value line of a "200" reply.
struct TValueDoc {
    // One word: int (a whole number, which the 64-bit form pads with blanks
    // on the left), real, flag (1 or 0), time (DDMMYYYYhhmmss), text (the
    // multi-line form), pairs (this line and every further one is a
    // name=value line) or rest (this line and every further one, described
    // together). int, real and flag are numbers for the tools.
    const char* form;
    // What it means, for people. The tools derive a short key from it
    // (ValueKey, agent/catalogue.h), so it starts with a name.
    const char* meaning;
    // The unit of a number as monitoring systems write it ("B", "s", "ms",
    // "%"); "" for none.
    const char* unit = "";
    // The value line (1-based) that holds this value's greatest possible
    // value (free bytes: the total); 0 for none.
    int maxLine = 0;
};

struct TCommandDef {
    const char* name;  // compared exactly and case-sensitively
    // Exactly one of the two is set.
    TRequestHandler handler;
    TContextHandler contextHandler;
    TCommandAccess access;
    // Answers from memory at once: no file, process, network or lock that
    // someone may hold for long. Other handlers may take long, so the
    // pool first has the thread give up its duty to take new work.
    bool quick;
    // The settings that allow it, blank-separated: one right flag; several
    // (GetFilesList: refused only when all are 0); or, with caManage and
    // caUpdate, the flag and the address list. Empty: no setting.
    const char* right;
    const char* summary;
    TSpan<TParamDoc> params;  // by rising position
    // Each value line of a "200" reply, in order.
    TSpan<TValueDoc> values;
    // Further words for the catalogue (other result codes, notes); may be "".
    const char* notes;

    bool IsManagement() const { return access == caManage; }
};

// The whole table in the order the catalogue lists it. Any thread.
TSpan<TCommandDef> CommandTable();

// The entry named exactly name; nullptr when there is none. Any thread.
const TCommandDef* FindCommand(const String& name);

// True for the requests a reserve session (the last places below the
// session caps) may carry: the management requests ("ReloadCfg",
// "ReloadApp", "QUIT", "GetSettings", "SetSettings") and "GetInfo", which
// shows what keeps the agent busy. Decided by the table. Any thread.
bool ServedOnReserve(const String& command);
