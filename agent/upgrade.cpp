#include "agent/upgrade.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/console.h"
#include "agent/runstate.h"
#include "agent/updatescript.h"
#include "config/settings.h"
#include "core/threadsafety.h"
#include "platform/clock.h"
#include "platform/filepath.h"
#include "platform/writeall.h"
#include "protocol/tev_const.h"

namespace {

// Guards the single upgrade slot and what a finished transfer hands over.
TMutex upgrade_slot_mutex;
// A session holds the slot: a transfer runs, or its script waits for the
// main thread.
bool slotHeld TEV_GUARDED_BY(upgrade_slot_mutex) = false;
// The program file of a transfer handed to the main thread.
String handedOverFile TEV_GUARDED_BY(upgrade_slot_mutex);

// The temporary directory with exactly one "/" after it. The settings always
// name one (the configured directory, $TMPDIR, $TMP or "."), so the files
// never land in the root directory unless that was configured.
String TempDirSlash() {
    String dir = Settings()->tmpdir;
    if (dir.Length() == 0) dir = ".";
    if (dir[dir.Length()] != '/') dir += '/';
    return dir;
}

// Creates path for writing, exclusively, close-on-exec, mode 0600 (the bits
// are widened once the content is complete). A stale regular file of ours
// left by an earlier attempt is removed first; a symbolic link or anything
// else found there is left alone, so the creation then fails. Returns the
// descriptor or -1.
int CreateExclusive(const String& path) {
    const String p = ZeroTerminated(path);
    struct stat st;
    if (lstat(p.Data(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
        unlink(p.Data());
    return open(p.Data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

void Unlink(const String& path) {
    if (path.Length()) unlink(ZeroTerminated(path).Data());
}

// s for the shell, taken literally: in single quotes, each single quote in
// it written as '\'' (close, escaped quote, reopen).
String ShellQuoted(const String& s) {
    String out("'");
    for (int i = 1; i <= s.Length(); i++) {
        if (s[i] == '\'')
            out += "'\\''";
        else
            out += s[i];
    }
    out += '\'';
    return out;
}

// Writes the update script; returns its path, or empty with error set to
// "Cannot set exec flag for script" or left empty for any other failure.
String WriteScript(const String& newFile, String& error) {
    const String path = TempDirSlash() + "tevupd__.sh";
    const int fd = CreateExclusive(path);
    if (fd < 0) return String();
    const bool written = WriteAll(fd, UpdateScriptText(Settings()->tevpath, newFile, path));
    const bool executable = written && fchmod(fd, 0775) == 0;
    const bool closed = close(fd) == 0;
    if (written && !executable) error = "Cannot set exec flag for script";
    if (!written || !executable || !closed) {
        Unlink(path);
        return String();
    }
    return path;
}

int Fail(UpgradeRec& rec, String& error, const char* text, bool removeFile) {
    if (!error.Length()) error = text;
    if (rec.tmpFile) {
        std::fclose(rec.tmpFile);
        rec.tmpFile = nullptr;
    }
    if (removeFile) Unlink(rec.tmpFileName);
    ReleaseUpgradeSlot(rec);
    return 0;
}

// The whole trailer is in: closes the file, checks the digest, writes the
// script and hands it to the main thread.
int FinishTransfer(UpgradeRec& rec, String& error) {
    FILE* f = rec.tmpFile;
    rec.tmpFile = nullptr;
    const bool flushed = std::fflush(f) == 0;
    const bool executable = flushed && fchmod(fileno(f), 0775) == 0;
    const bool closed = std::fclose(f) == 0;
    if (!flushed || !closed) return Fail(rec, error, "Write error", true);
    if (!executable) return Fail(rec, error, "Cannot set exec flag new module", true);
    unsigned char digest[16];
    MD5Close(&rec.digest, digest);
    const String plain = DecodeData(rec.trailer, rec.sessionKey);
    if (rec.trailer.Length() != kUpgradeTrailerSize || plain.Length() != 16 ||
        std::memcmp(plain.Data(), digest, 16) != 0)
        return Fail(rec, error, "Wrong CRC", true);
    const String script = WriteScript(rec.tmpFileName, error);
    if (script.Length() == 0)
        return Fail(rec, error, "Binary code transferred. Cannot create script file", true);
    {
        // The slot stays taken until the main thread has run the script.
        TLock lock(upgrade_slot_mutex);
        handedOverFile = rec.tmpFileName;
        rec.active = 0;
    }
    rec.handedOver = 1;
    TEVFlags.SetUpgradeScript(script);
    return 1;
}

// Starts a transfer: creates the temporary file and the digest.
int StartTransfer(UpgradeRec& rec, String& error) {
    rec.tmpFileName = TempDirSlash() + "tev__.upd";
    const int fd = CreateExclusive(rec.tmpFileName);
    rec.tmpFile = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!rec.tmpFile) {
        if (fd >= 0) {
            close(fd);
            Unlink(rec.tmpFileName);
        }
        return Fail(rec, error, "Cannot create temp file", false);
    }
    MD5Open(&rec.digest);
    return 1;
}

}  // namespace

int CanReplaceProgram(const String& program, String& reason) {
    reason = String();
    const String path = ZeroTerminated(program);
    if (path.Length() == 0 || path[1] != '/') {
        reason = String("tevpath is not an absolute path (\"") + path + "\")";
        return 0;
    }
    String folder = ExtractFilePath(path);
    if (folder.Length() > 1) folder.Delete(folder.Length(), 1);  // "/usr/sbin/" -> "/usr/sbin"
    folder = ZeroTerminated(folder);
    char who[64];
    snprintf(who, sizeof who, "the agent's user (uid %u)", unsigned(geteuid()));
    struct stat file;
    struct stat dir;
    if (stat(path.Data(), &file) != 0) {
        reason = path + " cannot be found: " + String(strerror(errno));
        return 0;
    }
    if (stat(folder.Data(), &dir) != 0 ||
        faccessat(AT_FDCWD, folder.Data(), W_OK | X_OK, AT_EACCESS) != 0) {
        reason = String("its folder ") + folder + " is not writable by " + String(who) + ": " +
                 String(strerror(errno));
        return 0;
    }
    // In a sticky folder (like /tmp) only the owner of the file or of the
    // folder may rename over it.
    if ((dir.st_mode & S_ISVTX) && file.st_uid != geteuid() && dir.st_uid != geteuid() &&
        geteuid() != 0) {
        reason = String("its folder ") + folder + " is sticky and the file is not owned by " +
                 String(who);
        return 0;
    }
    if (faccessat(AT_FDCWD, path.Data(), W_OK, AT_EACCESS) != 0) {
        reason = path + " is not writable by " + String(who) + ": " + String(strerror(errno));
        return 0;
    }
    return 1;
}

int RequestUpgrade(UpgradeRec& rec, const String& sessionKey) {
    TLock lock(upgrade_slot_mutex);
    if (slotHeld) return 0;
    slotHeld = true;
    rec.active = 1;
    rec.sessionKey = sessionKey;
    return 1;
}

void ReleaseUpgradeSlot(UpgradeRec& rec) {
    TLock lock(upgrade_slot_mutex);
    slotHeld = false;
    rec.active = 0;
}

int DoUpgrading(UpgradeRec& rec, const char* data, int length, String& error) {
    error = String();
    if (rec.tmpFileName.Length() == 0 && !StartTransfer(rec, error)) return 0;
    if (!data || length <= 0) return 1;
    int used = 0;
    if (rec.received < rec.fileSize) {
        const long long want = rec.fileSize - rec.received;
        used = int(want < length ? want : length);
        if (std::fwrite(data, 1, size_t(used), rec.tmpFile) != size_t(used))
            return Fail(rec, error, "Write error", true);
        MD5Digest(&rec.digest, data, static_cast<unsigned long>(used));
        rec.received += used;
    }
    if (used == length) return 1;
    // TCP may split the trailer; wait for all of it (a peer that stops short
    // is dropped by the session's idle limit like any stalled transfer).
    rec.trailer.AddData(data + used, length - used);
    if (rec.trailer.Length() < kUpgradeTrailerSize) return 1;
    return FinishTransfer(rec, error);
}

void AbandonUpgrade(UpgradeRec& rec) {
    if (!rec.active) return;
    if (rec.tmpFile) {
        std::fclose(rec.tmpFile);
        rec.tmpFile = nullptr;
    }
    Unlink(rec.tmpFileName);
    ReleaseUpgradeSlot(rec);
}

void DropPendingUpgrade() {
    // Forget the script first, so no session end asks for it again.
    const String script = TEVFlags.GetUpgradeScript();
    TEVFlags.SetUpgradeScript(String());
    Unlink(script);
    TLock lock(upgrade_slot_mutex);
    Unlink(handedOverFile);
    handedOverFile = String();
    slotHeld = false;
}

namespace {

int ReadProofSeconds() {
    const char* text = getenv("TEV_UPGRADE_PROOF_SECONDS");
    if (!text || !*text) return kUpgradeProofSeconds;
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    if (*end || seconds < 1 || seconds > 3600) return kUpgradeProofSeconds;
    return int(seconds);
}

}  // namespace

int UpgradeProofSeconds() {
    // Read once (NoteUpgradeStart makes the first call, before any session
    // exists): the agent changes its environment later (TMPDIR).
    static const int seconds = ReadProofSeconds();
    return seconds;
}

String UpdateScriptText(const String& oldProgram, const String& newProgram, const String& script) {
    String text("#!/bin/sh\n# shellcheck disable=SC2016 # the paths are meant literally\n");
    text += String("oldTEV=") + ShellQuoted(oldProgram) + "\n";
    text += String("newTEV=") + ShellQuoted(newProgram) + "\n";
    text += String("self=") + ShellQuoted(script) + "\n";
    char proof[32];
    snprintf(proof, sizeof proof, "proof=%d\n", UpgradeProofSeconds());
    text += proof;
    // The source's own first line ("#!/bin/sh") is the one above.
    const char* body = std::strchr(kUpdateScriptSource, '\n');
    text += body ? body + 1 : kUpdateScriptSource;
    return text;
}

int BecomeUpdateSupervisor() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) == 0;
}

void EndUpdateSupervisor() {
    prctl(PR_SET_CHILD_SUBREAPER, 0UL, 0UL, 0UL, 0UL);
}

namespace {

// The backup of an upgrade this program has still to prove (set once by
// NoteUpgradeStart before any session exists, read after).
String upgradeBackup;
std::atomic<bool> upgradeUnproven{false};
long long upgradeStartMs = 0;  // main thread only

}  // namespace

void NoteUpgradeStart() {
    UpgradeProofSeconds();
    const char* backup = getenv("TEV_UPGRADE_BACKUP");
    struct stat st;
    if (backup == nullptr || backup[0] == '\0' || lstat(backup, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    upgradeBackup = String(backup);
    upgradeStartMs = NowMs();
    const String mark = ZeroTerminated(upgradeBackup + ".pid");
    const int fd = open(mark.Data(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char text[32];
        const int n = snprintf(text, sizeof text, "%d\n", int(getpid()));
        WriteAll(fd, String(text, n));
        close(fd);
    }
    upgradeUnproven = true;
}

void ConfirmUpgrade() {
    if (!upgradeUnproven.load(std::memory_order_relaxed) || !upgradeUnproven.exchange(false))
        return;
    // The backup first: the script takes its absence for the proof.
    Unlink(upgradeBackup);
    Unlink(upgradeBackup + ".pid");
    showmessage("Upgrade confirmed, old program's backup removed\n", NoPeer(), mtInfo, 0);
}

void ConfirmUpgradeWhenDue() {
    if (upgradeUnproven.load(std::memory_order_relaxed) &&
        NowMs() - upgradeStartMs >= UpgradeProofSeconds() * 1000LL)
        ConfirmUpgrade();
}
