// Path strings and single-call file queries. Positions are 1-based as in
// String. Text is treated as a single-byte character set throughout.
// Every function is re-entrant.
#pragma once

#include "core/zostring.h"

bool isLeadByte(char c);                   // always false
int StrCharLength(const char* s);          // always 1
int ByteType(const String& s, int index);  // always 0: single-byte character

// True iff 1 <= Index <= S.Length() and the byte there is '/'.
bool IsPathDelimiter(const String& S, int Index);
// S with a final '/' (an empty S gives "/").
String IncludeTrailingPathDelimiter(const String& S);
// S without one final '/'.
String ExcludeTrailingPathDelimiter(const String& S);
// Position of the last byte of S that occurs in Delims, 0 if none.
int LastDelimiter(const char* Delims, const String& S);
// The directory part including its final '/'; empty without a '/'.
String ExtractFilePath(const String& S);
// The part after the last '/' (all of S if none), at most 4095 bytes.
String ExtractFileName(const String& S);
// The working directory; empty if it cannot be read.
String GetCurrentDir();

// File queries follow symbolic links.
int FileAge(const String& Name);         // mtime, -1 if it cannot be examined
long long FileSize(const String& Name);  // bytes, -1 if it cannot be examined
bool FileExists(const String& Name);     // an existing regular file
bool DirectoryExists(const String& Name);
bool DeleteFile(const String& Name);  // unlink; true on success
