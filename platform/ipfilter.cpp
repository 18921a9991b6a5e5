#include "platform/ipfilter.h"

#include <arpa/inet.h>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Position of the first ',' or '-' at or after from, or Length() + 1.
int ItemEnd(const String& list, int from) {
    int i = from;
    while (i <= list.Length() && list[i] != ',' && list[i] != '-') i++;
    return i;
}

// Converts text with inet_addr; 0 when it fails. 255.255.255.255 counts as
// a failure, as inet_addr cannot tell it apart from one. The result is in
// host byte order.
unsigned int ConvertAddress(const String& text, bool& ok) {
    String z(text);
    z.SetZero();
    const in_addr_t a = z.Length() > 0 ? inet_addr(z.Data()) : INADDR_NONE;
    ok = a != INADDR_NONE;
    return ok ? ntohl(a) : 0;
}

String InvalidAddress(const String& text) {
    return String("Invalid IP address (") + text + ") specified";
}

}  // namespace

int islistsetchar(char c) {
    return (IsDigit(c) || c == '.' || c == '-' || c == ',') ? 1 : 0;
}

void getitem(String& list, unsigned int& lo, unsigned int& hi, String& error) {
    lo = 0;
    hi = 0;
    int start = 1;
    while (start <= list.Length() && !IsDigit(list[start])) start++;
    if (start > list.Length()) return;

    int end = ItemEnd(list, start);
    const String loText = list.Copy(start, end - start);
    bool ok = false;
    const unsigned int low = ConvertAddress(loText, ok);
    if (!ok) {
        error = InvalidAddress(loText);
        return;
    }
    lo = low;
    if (end <= list.Length() && list[end] == '-') {
        const int hiStart = end + 1;
        end = ItemEnd(list, hiStart);
        const String hiText = list.Copy(hiStart, end - hiStart);
        const unsigned int high = ConvertAddress(hiText, ok);
        if (ok) {
            hi = high;
        } else {
            error = InvalidAddress(hiText);
        }
    }
    list.Delete(1, end);  // through the separator that ended the item, if any
}

int IPAllowed(unsigned int addr, const String& list, String& error) {
    error = "";
    const unsigned int a = ntohl(addr);
    String work;
    for (int i = 1; i <= list.Length(); i++)
        if (islistsetchar(list[i])) work += list[i];

    int allowed = 0;
    while (!allowed) {
        unsigned int lo = 0;
        unsigned int hi = 0;
        String itemError;
        getitem(work, lo, hi, itemError);
        // Keep the first complaint: it points at what the administrator
        // has to fix first.
        if (error.Length() == 0) error = itemError;
        if (lo == 0) break;
        if (hi != 0) {
            const unsigned int first = lo < hi ? lo : hi;
            const unsigned int last = lo < hi ? hi : lo;
            allowed = (a >= first && a <= last) ? 1 : 0;
        } else {
            allowed = a == lo ? 1 : 0;
        }
    }

    if (error.Length() == 0) {
        for (int i = 1; i <= list.Length(); i++) {
            if (!islistsetchar(list[i])) {
                error = String("Illegal character (") + list[i] + ") specified";
                break;
            }
        }
    }
    return allowed;
}

int IPAllowed(const char* addrText, const String& list, String& error) {
    error = "";
    if (!addrText) return 0;
    const in_addr_t a = inet_addr(addrText);
    if (a == INADDR_NONE) return 0;
    return IPAllowed((unsigned int)a, list, error);
}
