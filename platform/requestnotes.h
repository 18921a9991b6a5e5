// Notes a handler leaves about how it served the calling thread's request
// (which path answered, a value it passed over), for the agent to write to
// its log once the handler returns. Handlers report nothing themselves: the
// dispatcher takes the notes after each handler and logs them with the
// peer's address. Thread-local: each thread sees only its own notes.
#pragma once

#include <vector>

#include "core/zostring.h"

enum TNoteKind {
    nkInfo,     // how the request was served: the verbose log
    nkWarning,  // something the request asked for and did not get: the failure log
};

struct TRequestNote {
    TNoteKind kind;
    String text;  // one line, without a line end
};

// Appends a note for the calling thread's request. Any thread.
void AddRequestNote(TNoteKind kind, const String& text);

// Moves the calling thread's notes, oldest first, into out (replacing its
// content) and forgets them. Any thread.
void TakeRequestNotes(std::vector<TRequestNote>& out);
