// String: the agent's only text and byte-buffer type. Holds any bytes, is not
// kept zero-terminated (call SetZero() before handing Data() to C routines),
// grows in steps of 128 bytes and numbers positions from 1 (0: not found).
// TStrList: a growable list of byte strings, 0-based, items read as copies.
#pragma once

#include <cstddef>

// ASCII-only character helpers; other bytes are returned unchanged.
char UpCase(char c);
char LoCase(char c);
char* strupper(char* s, int n);
char* strlower(char* s, int n);
char* strupper(char* s);
char* strlower(char* s);
// True when every character of the zero-terminated s is '-' or a digit
// (the empty text is true).
bool isdecimalnum(const char* s);
// True when the first n bytes are all digits ('-' not allowed); n = 0 is true.
bool isdecimalnum(const char* s, int n);
// 1-based position of needle in hay, byte-exact; 0 when absent or when a
// pointer is null or a length is 0. memposi compares through LoCase.
int mempos(const char* hay, int haylen, const char* needle, int needlelen);
int memposi(const char* hay, int haylen, const char* needle, int needlelen);

// The longest String: lengths and capacities stay well inside int, so no
// length arithmetic can overflow.
const int kMaxStringLength = 0x7FFF0000;

// A String or TStrList operation that could not get its memory (the
// allocator failed, or the result would pass kMaxStringLength) leaves the
// object as it was (the old block kept, nothing written through a null
// pointer; an append or copy is dropped, SetZero may drop the last byte to
// make room for the terminator) and marks the calling thread. The work that
// caused it is then unsound: the session checks the mark and ends the
// request. StringAllocFailed tells whether the mark is set; Clear removes
// it. Thread-local; any thread.
bool StringAllocFailed();
void ClearStringAllocFailure();

class String {
  public:
    // size > 0 allocates exactly size bytes and fixes the capacity.
    explicit String(int size = 0);
    String(const char* p);  // NOLINT: implicit on purpose, texts convert freely
    String(const char* p, int n);
    String(const String& s);
    String(String&& s) noexcept;
    ~String();

    String& operator=(const char* p);
    String& operator=(const String& s);
    String& operator=(String&& s) noexcept;

    // Replaces the value by n bytes at p (n = -1: strlen). p null or n = 0
    // empties it. A fixed-size string keeps only what fits.
    void CopyData(const char* p, int n);
    // Appends n bytes (n = -1: strlen); p null does nothing.
    void AddData(const char* p, int n);
    void AddChar(char c);
    String& operator+=(const char* p);
    String& operator+=(char c);
    String& operator+=(const String& s);
    String operator+(const String& s) const;
    String operator+(const char* p) const;
    String operator+(char c) const;

    // length = n; the block is resized for n (n = 0 frees it).
    void SetLength(int n);
    // Guarantees a zero byte at position length + 1 (zeroes the spare bytes).
    void SetZero();

    int Length() const { return length; }
    int Capacity() const { return capacity; }
    bool IsFixedSize() const { return fixedSize != 0; }
    char* Data() { return data; }
    const char* Data() const { return data; }
    // The byte at 1-based position i; callers stay within 1..Length().
    char& operator[](int i) { return data[i - 1]; }
    char operator[](int i) const { return data[i - 1]; }

    int Pos(char c) const;
    int Pos(const char* p, int n = -1) const;
    int Pos(const String& s) const;
    // Bytes from pos (>= 1), count of them, cut at the end.
    String Copy(int pos, int count) const;
    // Position of what, optionally ignoring ASCII case and requiring
    // non-alphanumeric neighbours; 0 when absent.
    int Search(String what, int caseSensitive, int wholeWord) const;
    // The n-th (1-based) field when split at every byte sep.
    String GetWord(int n, char sep) const;
    // Copies into buf of size bytes (size -1: unlimited) with a terminator.
    void StrCpy(char* buf, int size) const;

    bool operator==(const char* p) const;
    bool operator==(const String& s) const;
    bool operator!=(const char* p) const { return !(*this == p); }
    bool operator!=(const String& s) const { return !(*this == s); }

    // Removes count bytes from pos; out-of-range requests do nothing.
    void Delete(int pos, int count);
    // Removes leading and trailing bytes whose signed value is <= 32.
    String& Trim();
    // Shrinks runs of c to one c (a run at the very start keeps two).
    String& RemoveRepeats(char c);
    // New String with every what replaced by with; replacements are not rescanned.
    String ReplaceAll(const char* what, const char* with, int caseSensitive) const;
    String& LowerCase();

  private:
    // Resizes the block for n bytes (n <= 0 frees it); false, with the block
    // and capacity unchanged and the thread marked, when it cannot.
    bool prAllocMem(long long n);
    // What an append that needs `needed` bytes asks prAllocMem for: needed
    // while the block is small, at least half as much again once it is large.
    static long long AppendCapacity(long long capacity, long long needed);

    int length = 0;
    int capacity = 0;
    char* data = nullptr;
    int fixedSize = 0;
};

// A copy of s with a zero byte after its bytes, for handing Data() to C
// routines that expect a zero-terminated text.
String ZeroTerminated(String s);

class TStrList {
  public:
    TStrList() = default;
    TStrList(const TStrList&) = delete;
    TStrList& operator=(const TStrList&) = delete;
    ~TStrList();

    void Add(const String& s);
    // REQUIRES: 0 <= i < Count(); a violation stops the process.
    String operator[](int i) const;
    void Delete(int i);
    void DeleteLast();
    int Count() const { return count; }
    void Clear();

  private:
    bool prAllocMem(int n);

    int count = 0;
    int capacity = 0;
    int* lengths = nullptr;
    char** items = nullptr;
};
