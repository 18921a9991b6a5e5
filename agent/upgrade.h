// Self-upgrade: an allowed "UpgradeCode" request takes the single upgrade
// slot; the server then streams the new program file on the same connection,
// followed by its MD5 digest encrypted under the session key. The file goes
// to a temporary file, the digest is checked, and an update script that puts
// the file in place and starts it is handed to the main thread.
//
// The slot is held from the start of a transfer until the main thread has
// executed the script or failed to (DropPendingUpgrade), so no second
// transfer can touch the files a finished one is about to install.
#pragma once

#include <cstdio>

#include "core/zostring.h"
#include "protocol/crypto/md5.h"

// Bytes of the encrypted digest that follows the file.
const int kUpgradeTrailerSize = 16;

struct UpgradeRec {
    int active = 0;          // this session holds the slot, a transfer runs
    long long fileSize = 0;  // announced size of the new program file
    long long received = 0;  // file bytes written so far
    FILE* tmpFile = nullptr;
    String tmpFileName;  // empty until the transfer starts
    MD5Context digest;
    String sessionKey;   // key of the UpgradeCode request (for the trailer)
    String trailer;      // encrypted digest bytes received so far
    int handedOver = 0;  // completed: the update script waits for the main thread
};

// Takes the upgrade slot for rec when it is free: returns 1 (rec active, key
// stored); returns 0 and changes nothing when another session holds it or a
// finished transfer still waits for the main thread. Any thread.
int RequestUpgrade(UpgradeRec& rec, const String& sessionKey);
// Frees the slot and clears rec's active flag. Any thread.
void ReleaseUpgradeSlot(UpgradeRec& rec);
// Whether this process, with its own (effective) user's rights, can put a
// new program file in place of program as the update script does: a copy
// and a rename in its folder, and the file itself writable. Returns 1 when
// it can; otherwise 0 with reason naming the file or folder and the cause,
// for example "its folder /usr/sbin is not writable by the agent's user
// (uid 105): Permission denied". A file or folder marked immutable, or on a
// read-only file system, cannot be replaced either, even by root. Any
// thread.
int CanReplaceProgram(const String& program, String& reason);
// Feeds one received chunk (data null: start the transfer, creating the
// temporary file "tev__.upd" in the `tmpdir` setting's directory). The file's
// bytes are followed by the 16-byte trailer, which may arrive in pieces; it
// is judged once 16 bytes are in (more bytes after the file than that, in
// the chunk that completes it, are a wrong trailer too).
// Returns 1 while the transfer runs or when it completed: rec is then no
// longer active, handedOver is set, the update script "tevupd__.sh" is set
// in TEVFlags and the slot stays taken. Returns 0 on failure, with the slot
// freed, the files removed and error holding "Cannot create temp file",
// "Write error", "Cannot set exec flag new module", "Wrong CRC", "Cannot set
// exec flag for script" or "Binary code transferred. Cannot create script
// file". error is emptied on entry. Both files are created exclusively (never
// through a symbolic link or over a file that is not a stale one of ours).
// Session thread of rec only.
int DoUpgrading(UpgradeRec& rec, const char* data, int length, String& error);
// Ends a transfer whose session went away before it completed: closes and
// deletes the temporary file and frees the slot. Nothing for a rec that is
// not active (idle, failed or handed over). Session thread of rec only.
void AbandonUpgrade(UpgradeRec& rec);
// After the main thread failed to execute the update script: deletes the
// script and the program file it would have installed, forgets the script
// and frees the slot, so the server may send the upgrade again. Main thread.
void DropPendingUpgrade();
// The update script's text: the script agent/update.sh (compiled in) after
// four lines that set, shell-quoted, oldTEV (the running program
// oldProgram), newTEV (the received file newProgram), self (the script's own
// path script) and proof (UpgradeProofSeconds()). It copies the new file
// beside the old one and renames it into place (a failed copy leaves the
// old program), keeps the old program as "<oldProgram>.old", deletes both
// temporary files and starts the program in the background with the
// script's arguments ("$@"), TEV_UPGRADE_BACKUP naming the backup and
// TEV_UPGRADE_PROOF_SECONDS the proof time. The new program proves itself
// by removing the backup (ConfirmUpgrade). When it has not within the proof
// time and ten seconds more, or it (or, as a daemon, the process whose pid
// it wrote into "<oldProgram>.old.pid") ends before, the script kills it and
// every process below the script (see BecomeUpdateSupervisor), puts the old
// program back and starts it. Paths may hold any bytes but NUL. Any thread.
String UpdateScriptText(const String& oldProgram, const String& newProgram, const String& script);

// Seconds a new program has to prove itself when no request comes.
const int kUpgradeProofSeconds = 30;
// The proof time in force: the environment variable
// TEV_UPGRADE_PROOF_SECONDS when it holds a whole number from 1 to 3600
// (tests shorten the wait with it; the update script passes its own value
// on to the new program), else kUpgradeProofSeconds. Read once, at the
// first call (NoteUpgradeStart's). Any thread.
int UpgradeProofSeconds();

// Makes this process a child subreaper (prctl PR_SET_CHILD_SUBREAPER),
// which survives the exec of the update script: orphans of the new program
// then come to the script, which can end them on a rollback, where they
// would otherwise go to init. Returns 1 on success, 0 with errno set when
// the kernel refused (the script then ends only what it can reach; qemu-user
// refuses with EINVAL). Main thread, just before the script is executed.
int BecomeUpdateSupervisor();
// Undoes BecomeUpdateSupervisor after the exec of the script failed. Main
// thread.
void EndUpdateSupervisor();

// When this program was started by an update script (TEV_UPGRADE_BACKUP
// names an existing backup of the old program): writes "<pid>\n" into
// "<backup>.pid" so that the script can watch it, and arms ConfirmUpgrade.
// Nothing otherwise. Main thread, once serving, before any session exists.
void NoteUpgradeStart();
// The new program has proven itself: removes the backup and its pid file
// and reports "Upgrade confirmed, old program's backup removed\n" (class
// mtInfo); nothing after the first call or when NoteUpgradeStart found no
// upgrade. Called once a request has been answered. Any thread.
void ConfirmUpgrade();
// ConfirmUpgrade once UpgradeProofSeconds() have passed since
// NoteUpgradeStart. Main thread, at every run-state check.
void ConfirmUpgradeWhenDue();
