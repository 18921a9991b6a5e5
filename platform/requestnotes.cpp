#include "platform/requestnotes.h"

#include <utility>

namespace {

// Empty, and without a buffer, on every thread whose handlers note nothing.
thread_local std::vector<TRequestNote> notes;

}  // namespace

void AddRequestNote(TNoteKind kind, const String& text) {
    notes.push_back(TRequestNote{kind, text});
}

void TakeRequestNotes(std::vector<TRequestNote>& out) {
    out.clear();
    out.swap(notes);
}
