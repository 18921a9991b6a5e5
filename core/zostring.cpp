#include "core/zostring.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/tevassert.h"

// ---------------------------------------------------------------------------
// Character helpers

char UpCase(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
char LoCase(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

char* strupper(char* s, int n) {
    for (int i = 0; s && i < n; i++) s[i] = UpCase(s[i]);
    return s;
}

char* strlower(char* s, int n) {
    for (int i = 0; s && i < n; i++) s[i] = LoCase(s[i]);
    return s;
}

char* strupper(char* s) {
    return s ? strupper(s, int(std::strlen(s))) : s;
}
char* strlower(char* s) {
    return s ? strlower(s, int(std::strlen(s))) : s;
}

bool isdecimalnum(const char* s) {
    if (!s) return true;
    for (; *s; s++)
        if (*s != '-' && (*s < '0' || *s > '9')) return false;
    return true;
}

bool isdecimalnum(const char* s, int n) {
    for (int i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int mempos(const char* hay, int haylen, const char* needle, int needlelen) {
    if (!hay || !needle || haylen <= 0 || needlelen <= 0 || needlelen > haylen) return 0;
    const void* p = memmem(hay, size_t(haylen), needle, size_t(needlelen));
    return p ? int(static_cast<const char*>(p) - hay) + 1 : 0;
}

int memposi(const char* hay, int haylen, const char* needle, int needlelen) {
    if (!hay || !needle || haylen <= 0 || needlelen <= 0 || needlelen > haylen) return 0;
    const char first = LoCase(needle[0]);
    for (int i = 0; i + needlelen <= haylen; i++) {
        if (LoCase(hay[i]) != first) continue;
        int j = 1;
        while (j < needlelen && LoCase(hay[i + j]) == LoCase(needle[j])) j++;
        if (j == needlelen) return i + 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// String: allocation

namespace {

thread_local bool allocFailed = false;

bool MarkAllocFailure() {
    allocFailed = true;
    return false;
}

}  // namespace

bool StringAllocFailed() {
    return allocFailed;
}

void ClearStringAllocFailure() {
    allocFailed = false;
}

namespace {

// From this capacity on, an append grows the block by half at least.
const long long kGeometricGrowthFrom = 64 * 1024;

}  // namespace

// The size to ask prAllocMem for when an append needs `needed` bytes in a
// block of `capacity`. Small strings grow to what they need (in steps of
// 128); a large one grows by half its block at least, so that a large text
// appended piece by piece (a program's output drained from a pipe) is
// copied a bounded number of times, not once per piece: with an allocator
// that cannot extend a block in place (the sanitizers') that was quadratic.
long long String::AppendCapacity(long long capacity, long long needed) {
    if (capacity < kGeometricGrowthFrom) return needed;
    const long long grown = capacity + capacity / 2;
    if (grown <= needed) return needed;
    return grown <= kMaxStringLength ? grown
                                     : (needed > kMaxStringLength ? needed : kMaxStringLength);
}

bool String::prAllocMem(long long n) {
    if (n <= 0) {
        std::free(data);
        data = nullptr;
        capacity = 0;
        fixedSize = 0;
        return true;
    }
    if (n > kMaxStringLength) return MarkAllocFailure();
    const int newCapacity = fixedSize ? int(n) : int((n / 128) * 128 + 128);
    char* block;
    if (!data) {
        block = static_cast<char*>(std::calloc(size_t(newCapacity), 1));
    } else {
        block = static_cast<char*>(std::realloc(data, size_t(newCapacity)));
    }
    if (!block) return MarkAllocFailure();  // the old block stays ours
    if (data && newCapacity > capacity)
        std::memset(block + capacity, 0, size_t(newCapacity - capacity));
    data = block;
    capacity = newCapacity;
    return true;
}

String::String(int size) {
    if (size > 0) {
        fixedSize = 1;
        prAllocMem(size);
    }
}

String::String(const char* p) {
    CopyData(p, -1);
}
String::String(const char* p, int n) {
    CopyData(p, n);
}
String::String(const String& s) {
    CopyData(s.data, s.length);
}

String::String(String&& s) noexcept {
    if (s.fixedSize) {  // a copy is never fixed-size; keep that for moves too
        CopyData(s.data, s.length);
        return;
    }
    length = s.length;
    capacity = s.capacity;
    data = s.data;
    s.length = s.capacity = 0;
    s.data = nullptr;
}

String::~String() {
    std::free(data);
}

String& String::operator=(const char* p) {
    CopyData(p, -1);
    return *this;
}

String& String::operator=(const String& s) {
    CopyData(s.data, s.length);
    return *this;
}

String& String::operator=(String&& s) noexcept {
    if (this == &s) return *this;
    if (fixedSize || s.fixedSize || s.length == 0) {
        CopyData(s.data, s.length);
        return *this;
    }
    std::free(data);
    length = s.length;
    capacity = s.capacity;
    data = s.data;
    s.length = s.capacity = 0;
    s.data = nullptr;
    return *this;
}

void String::CopyData(const char* p, int n) {
    if (p && n < 0) n = int(std::strlen(p));
    if (p && p == data) return;
    if (!p || n <= 0) {
        prAllocMem(0);
        length = 0;
        return;
    }
    if (fixedSize) {
        if (n > capacity) n = capacity;
    } else if (n > capacity) {
        // p cannot lie inside our block here: it would hold at most length bytes.
        if (!prAllocMem(n)) return;
    }
    std::memmove(data, p, size_t(n));
    length = n;
}

void String::AddData(const char* p, int n) {
    if (!p) return;
    if (n < 0) n = int(std::strlen(p));
    if (n == 0) return;
    if (fixedSize) {
        if (n > capacity - length) n = capacity - length;
        if (n <= 0) return;
    } else if ((long long)length + n > capacity) {
        const bool inside = data && p >= data && p < data + capacity;
        const long offset = inside ? long(p - data) : 0;
        if (!prAllocMem(AppendCapacity(capacity, (long long)length + n))) return;
        if (inside) p = data + offset;
    }
    std::memmove(data + length, p, size_t(n));
    length += n;
}

void String::AddChar(char c) {
    AddData(&c, 1);
}

String& String::operator+=(const char* p) {
    AddData(p, -1);
    return *this;
}

String& String::operator+=(char c) {
    AddChar(c);
    return *this;
}

String& String::operator+=(const String& s) {
    AddData(s.data, s.length);
    return *this;
}

String String::operator+(const String& s) const {
    String r;
    if ((long long)length + s.length > 0) r.prAllocMem((long long)length + s.length);
    r.AddData(data, length);
    r.AddData(s.data, s.length);
    return r;
}

String String::operator+(const char* p) const {
    const int n = p ? int(std::strlen(p)) : 0;
    String r;
    if ((long long)length + n > 0) r.prAllocMem((long long)length + n);
    r.AddData(data, length);
    r.AddData(p, n);
    return r;
}

String String::operator+(char c) const {
    String r;
    r.prAllocMem((long long)length + 1);
    r.AddData(data, length);
    r.AddChar(c);
    return r;
}

void String::SetLength(int n) {
    if (n < 0) n = 0;
    if (!prAllocMem(n) && n > capacity) return;
    length = n;
}

void String::SetZero() {
    // Without room for the terminator the last byte gives way to it.
    if (length >= capacity && !prAllocMem((long long)capacity + 128) && capacity > 0)
        length = capacity - 1;
    if (!data) return;
    std::memset(data + length, 0, size_t(capacity - length));
}

// ---------------------------------------------------------------------------
// String: access and search

int String::Pos(char c) const {
    if (!data || length <= 0) return 0;
    const void* p = std::memchr(data, static_cast<unsigned char>(c), size_t(length));
    return p ? int(static_cast<const char*>(p) - data) + 1 : 0;
}

int String::Pos(const char* p, int n) const {
    if (!p || length == 0) return 0;
    if (n < 0) n = int(std::strlen(p));
    return mempos(data, length, p, n);
}

int String::Pos(const String& s) const {
    return mempos(data, length, s.data, s.length);
}

String String::Copy(int pos, int count) const {
    if (pos < 1 || pos > length || count < 1) return String();
    if (count > length - pos + 1) count = length - pos + 1;
    return String(data + pos - 1, count);
}

static bool IsWordByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

int String::Search(String what, int caseSensitive, int wholeWord) const {
    String text(*this);
    if (!caseSensitive) {
        text.LowerCase();
        what.LowerCase();
    }
    int start = 1;
    for (;;) {
        if (text.length < start) return 0;
        const int found =
            mempos(text.data + start - 1, text.length - start + 1, what.data, what.length);
        if (!found) return 0;
        start += found - 1;
        if (!wholeWord) return start;
        const int end = start + what.length - 1;  // last byte of the match
        const bool before = start == 1 || !IsWordByte(text.data[start - 2]);
        const bool after = end >= text.length || !IsWordByte(text.data[end]);
        if (before && after) return start;
        start++;
    }
}

String String::GetWord(int n, char sep) const {
    int field = 1;
    int i = 0;
    while (field < n && i < length) {
        if (data[i] == sep) field++;
        i++;
    }
    if (field < n) return String();
    int j = i;
    while (j < length && data[j] != sep) j++;
    return String(data + i, j - i);
}

void String::StrCpy(char* buf, int size) const {
    if (!buf || size == 0 || length == 0) return;
    const int n = (size < 0 || length < size) ? length : size - 1;
    std::memcpy(buf, data, size_t(n));
    buf[n] = 0;
}

bool String::operator==(const char* p) const {
    if (!p) return length == 0;
    const size_t n = std::strlen(p);
    return n == size_t(length) && (n == 0 || std::memcmp(data, p, n) == 0);
}

bool String::operator==(const String& s) const {
    return length == s.length && (length == 0 || std::memcmp(data, s.data, size_t(length)) == 0);
}

// ---------------------------------------------------------------------------
// String: editing

void String::Delete(int pos, int count) {
    if (count < 1 || pos < 1 || pos > length) return;
    if (count > length - pos + 1) count = length - pos + 1;
    std::memmove(data + pos - 1, data + pos - 1 + count, size_t(length - (pos - 1) - count));
    length -= count;
}

String& String::Trim() {
    int b = 0;
    int e = length;
    while (b < e && static_cast<signed char>(data[b]) <= 32) b++;
    while (e > b && static_cast<signed char>(data[e - 1]) <= 32) e--;
    if (b > 0) std::memmove(data, data + b, size_t(e - b));
    length = e - b;
    return *this;
}

String& String::RemoveRepeats(char c) {
    if (length <= 1) return *this;
    int r = 1;
    int w = 1;  // the first byte always stays
    while (r < length) {
        while (r + 1 < length && data[r] == c && data[r + 1] == c) r++;
        data[w++] = data[r++];
    }
    length = w;
    return *this;
}

String String::ReplaceAll(const char* what, const char* with, int caseSensitive) const {
    String result;
    const int whatLen = what ? int(std::strlen(what)) : 0;
    const int withLen = with ? int(std::strlen(with)) : 0;
    int done = 0;
    while (whatLen > 0 && length - done >= whatLen) {
        const int p = caseSensitive ? mempos(data + done, length - done, what, whatLen)
                                    : memposi(data + done, length - done, what, whatLen);
        if (!p) break;
        result.AddData(data + done, p - 1);
        result.AddData(with, withLen);
        done += p - 1 + whatLen;
    }
    result.AddData(data + done, length - done);
    return result;
}

String& String::LowerCase() {
    strlower(data, length);
    return *this;
}

String ZeroTerminated(String s) {
    s.SetZero();
    return s;
}

// ---------------------------------------------------------------------------
// TStrList

TStrList::~TStrList() {
    Clear();
}

bool TStrList::prAllocMem(int n) {
    if (n == 0) {
        Clear();
        return true;
    }
    if (n <= capacity) return true;
    if (n > kMaxStringLength / int(sizeof(char*))) return MarkAllocFailure();
    const int newCapacity = (n / 128) * 128 + 128;
    // Each array is sized for its own element type (pointers are 8 bytes
    // here); each is taken over as soon as it is had, so a failure of the
    // second leaves both usable for the old capacity.
    int* l = static_cast<int*>(std::realloc(lengths, sizeof(int) * size_t(newCapacity)));
    if (!l) return MarkAllocFailure();
    lengths = l;
    char** it = static_cast<char**>(std::realloc(items, sizeof(char*) * size_t(newCapacity)));
    if (!it) return MarkAllocFailure();
    items = it;
    capacity = newCapacity;
    return true;
}

void TStrList::Add(const String& s) {
    if (count >= capacity && !prAllocMem(count + 1)) return;
    char* copy = nullptr;
    if (s.Length() > 0) {
        copy = static_cast<char*>(std::malloc(size_t(s.Length())));
        if (!copy) {
            MarkAllocFailure();
            return;
        }
        std::memcpy(copy, s.Data(), size_t(s.Length()));
    }
    items[count] = copy;
    lengths[count] = s.Length();
    count++;
}

String TStrList::operator[](int i) const {
    TEV_ASSERT(i >= 0 && i < count, "0", "zostring", 495, "String TStrList::operator[](int)");
    return items[i] ? String(items[i], lengths[i]) : String();
}

void TStrList::Delete(int i) {
    TEV_ASSERT(i >= 0 && i < count, "0", "zostring", 471, "void TStrList::Delete(int)");
    std::free(items[i]);
    std::memmove(items + i, items + i + 1, sizeof(char*) * size_t(count - i - 1));
    std::memmove(lengths + i, lengths + i + 1, sizeof(int) * size_t(count - i - 1));
    count--;
}

void TStrList::DeleteLast() {
    Delete(count - 1);
}

void TStrList::Clear() {
    for (int i = 0; i < count; i++) std::free(items[i]);
    std::free(items);
    std::free(lengths);
    items = nullptr;
    lengths = nullptr;
    count = 0;
    capacity = 0;
}
