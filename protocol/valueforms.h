// Text forms of values in request parameters and reply lines: flags "0"/"1",
// "%d" integers, "%6lld" 64-bit integers, "%6.4f" reals, 14-digit local
// times (DDMMYYYYhhmmss) and multi-line texts with LF as "%0A", CR as "%0D".
#pragma once

#include <ctime>

#include "core/zostring.h"

// The two flag texts, indexed by the flag value.
extern const char* const BoolConst[2];

int tevDecodeInt(const char* s);          // atoi; 0 when no number
long long tevDecodeInt64(const char* s);  // atoll
double tevDecodeReal(const char* s);      // atof
bool tevDecodeBool(const char* s);        // true only for exactly "1"
int tevDecodeInt(String s);
long long tevDecodeInt64(String s);
double tevDecodeReal(String s);
bool tevDecodeBool(String s);

// Checked forms: when s holds only '-' and digits (empty allowed) and the
// number it starts with fits the result type, store the value in *out and
// return 1; otherwise return 0 and leave *out alone. A number that does not
// fit is refused rather than wrapped (4295011297 is not port 44001).
int tevDecodeInt(const char* s, int* out);
int tevDecodeInt64(const char* s, long long* out);
int tevDecodeInt(String s, int* out);
int tevDecodeInt64(String s, long long* out);

// The unchecked form's reading (leading blanks, a sign, the digits up to
// the first other character; 0 when there are none) into *out, returning 1;
// 0 with *out alone when that number does not fit 32 bits.
int tevDecodeIntInRange(String s, int* out);

// The broken-down time of a 14-digit time text; all fields zero when s is
// null or not exactly 14 characters long. Digits are not checked.
struct tm tevDecodeTime(const char* s);
struct tm tevDecodeTime(String s);

// Multi-line form of n bytes at p (n = 0: up to the terminating zero).
String tevEncodeStrings(const char* p, int n);
String tevEncodeStrings(const String& s);
// Inverse of tevEncodeStrings; unknown or cut % sequences stay as they are.
String tevDecodeStrings(const char* p, int n);
String tevDecodeStrings(const String& s);

// Writers of the reply forms.
String tevFormatInt(int v);                // "%d"
String tevFormatInt64(long long v);        // "%6lld", cut to 34 characters
String tevFormatReal(double v);            // "%6.4f", cut to 34 characters
String tevFormatTime(const struct tm& t);  // DDMMYYYYhhmmss
