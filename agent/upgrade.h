// Self-upgrade: an allowed "UpgradeCode" request takes the single upgrade
// slot; the server then streams the new program file on the same connection,
// followed by its MD5 digest encrypted under the session key. The file goes
// to a temporary file, the digest is checked, and an update script that puts
// the file in place and starts it is handed to the main thread.
#pragma once

#include <cstdio>

#include "core/zostring.h"
#include "protocol/crypto/md5.h"

struct UpgradeRec {
    int active = 0;          // this session holds the slot, a transfer runs
    long long fileSize = 0;  // announced size of the new program file
    long long received = 0;  // file bytes written so far
    FILE* tmpFile = nullptr;
    String tmpFileName;  // empty until the transfer starts
    MD5Context digest;
    String sessionKey;  // key of the UpgradeCode request (for the trailer)
};

// Takes the upgrade slot for rec when it is free: returns 1 (rec active, key
// stored); returns 0 and changes nothing when another session holds it.
int RequestUpgrade(UpgradeRec& rec, const String& sessionKey);
// Frees the slot and clears rec's active flag.
void ClearanceUpgrade(UpgradeRec& rec);
// Feeds one received chunk (data null: start the transfer, creating the
// temporary file). Returns 1 while the transfer runs or when it completed
// (the update script is then handed over), 0 on failure with error holding
// "Cannot create temp file", "Write error", "Cannot set exec flag new module",
// "Wrong CRC", "Cannot set exec flag for script" or "Binary code transferred.
// Cannot create script file". error is emptied on entry.
int DoUpgrading(UpgradeRec& rec, const char* data, int length, String& error);
// Ends a transfer whose session went away before it completed: closes and
// deletes the temporary file and frees the slot. Nothing for an idle rec.
void AbandonUpgrade(UpgradeRec& rec);
