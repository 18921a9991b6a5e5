// Address lists for the administrative rights: decides whether a peer's
// IPv4 address is named in a list such as "10.0.0.1, 10.0.1.0-10.0.1.255".
// A list holds items separated by commas (repeats and ends allowed); an item
// is an address or two addresses joined by '-' (an inclusive range, either
// order). Addresses are in any form inet_addr accepts. Every other character
// is dropped before parsing (and reported). All functions are re-entrant.
#pragma once

#include "core/zostring.h"

// 1 when addr (network byte order) is in list, else 0. error is emptied
// first and afterwards holds at most one message: the first "Invalid IP
// address (<text>) specified" met, or else "Illegal character (<c>)
// specified" for the first character of list that is not a list character.
// Parsing stops at the first invalid item or at an item 0.0.0.0, and as
// soon as the address is found.
int IPAllowed(unsigned int addr, const String& list, String& error);

// The same for an address given as text; text that inet_addr cannot convert
// (or null) gives 0 without looking at the list, error empty.
int IPAllowed(const char* addrText, const String& list, String& error);

// Takes the first item off list. lo and hi are set in host byte order; hi
// is 0 for a single address; lo is 0 when no item is left or the item's
// first address is invalid (error then names it and list is unchanged). An
// invalid second address leaves hi 0 and sets error. On success the item
// and the separator that ended it are removed from list.
void getitem(String& list, unsigned int& lo, unsigned int& hi, String& error);

// 1 for the characters a list may hold (digits, '.', '-', ','), else 0.
int islistsetchar(char c);
