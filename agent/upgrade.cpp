#include "agent/upgrade.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "agent/runflags.h"
#include "config/settings.h"
#include "protocol/tev_const.h"

namespace {

// The temporary directory with exactly one "/" after it ("/" when unset).
String TempDirSlash() {
    String dir = Settings()->tmpdir;
    if (dir.Length() == 0 || dir[dir.Length()] != '/') dir += '/';
    return dir;
}

const char kScript[] =
    "#! /bin/sh\n"
    "oldTEV='%s'\n"
    "newTEV='%s'\n"
    "retries=10\n"
    "rm $oldTEV\n"
    "while [ -f $oldTEV ] &&  [ $retries -gt 0 ]\n"
    "do\n"
    "  retries=`expr $retries - 1`\n"
    "  echo $retries\n"
    "  sleep 1\n"
    "done\n"
    "cp -f $newTEV $oldTEV\n"
    "rm -f $newTEV\n"
    "$oldTEV $1 $2 $3 $4 $5 $6\n"
    "rm %s\n";

// Writes the update script; returns its path, or empty with error set when
// the script could not be written (error may stay empty).
String WriteScript(const String& newFile, String& error) {
    String tevpath = ZeroTerminated(Settings()->tevpath);
    String path = ZeroTerminated(TempDirSlash() + "tevupd__.sh");
    FILE* f = std::fopen(path.Data(), "w+e");
    if (!f) return String();
    String file = ZeroTerminated(newFile);
    const int written =
        std::fprintf(f, kScript, tevpath.Data() ? tevpath.Data() : "", file.Data(), path.Data());
    const bool closed = std::fclose(f) == 0;
    if (written < 0 || !closed) {
        unlink(path.Data());
        return String();
    }
    if (chmod(path.Data(), 0775) != 0) {
        error = "Cannot set exec flag for script";
        unlink(path.Data());
        return String();
    }
    return String(path.Data());
}

int Fail(UpgradeRec& rec, String& error, const char* text, bool removeFile) {
    if (!error.Length()) error = text;
    if (rec.tmpFile) {
        std::fclose(rec.tmpFile);
        rec.tmpFile = nullptr;
    }
    if (removeFile) unlink(ZeroTerminated(rec.tmpFileName).Data());
    ClearanceUpgrade(rec);
    return 0;
}

// The bytes after the file: the encrypted digest. Checks it, writes the script.
int FinishTransfer(UpgradeRec& rec, const char* trailer, int n, String& error) {
    const String name = ZeroTerminated(rec.tmpFileName);
    const bool closed = std::fclose(rec.tmpFile) == 0;
    rec.tmpFile = nullptr;
    if (!closed || chmod(name.Data(), 0775) != 0)
        return Fail(rec, error, "Cannot set exec flag new module", true);
    unsigned char digest[16];
    MD5Close(&rec.digest, digest);
    const String plain = DecodeData(String(trailer, n), rec.sessionKey);
    if (plain.Length() != 16 || std::memcmp(plain.Data(), digest, 16) != 0)
        return Fail(rec, error, "Wrong CRC", true);
    const String script = WriteScript(rec.tmpFileName, error);
    if (script.Length() == 0)
        return Fail(rec, error, "Binary code transferred. Cannot create script file", true);
    ClearanceUpgrade(rec);
    TEVFlags.SetUpgradeScript(script);
    return 1;
}

}  // namespace

int RequestUpgrade(UpgradeRec& rec, const String& sessionKey) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    if (TEVFlags.upgrading.load()) return 0;
    TEVFlags.upgrading = 1;
    rec.active = 1;
    rec.sessionKey = sessionKey;
    return 1;
}

void ClearanceUpgrade(UpgradeRec& rec) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    TEVFlags.upgrading = 0;
    rec.active = 0;
}

int DoUpgrading(UpgradeRec& rec, const char* data, int length, String& error) {
    error = String();
    if (rec.tmpFileName.Length() == 0) {
        rec.tmpFileName = TempDirSlash() + "tev__.upd";
        rec.tmpFile = std::fopen(ZeroTerminated(rec.tmpFileName).Data(), "w+be");
        if (!rec.tmpFile) return Fail(rec, error, "Cannot create temp file", false);
        MD5Open(&rec.digest);
    }
    if (data && length > 0) {
        int used = 0;
        if (rec.received < rec.fileSize) {
            const long long want = rec.fileSize - rec.received;
            used = int(want < length ? want : length);
            if (std::fwrite(data, 1, size_t(used), rec.tmpFile) != size_t(used))
                return Fail(rec, error, "Write error", true);
            MD5Digest(&rec.digest, data, static_cast<unsigned long>(used));
            rec.received += used;
        }
        if (used < length) return FinishTransfer(rec, data + used, length - used, error);
    }
    return error.Length() == 0 ? 1 : 0;
}

void AbandonUpgrade(UpgradeRec& rec) {
    if (!rec.active) return;
    if (rec.tmpFile) {
        std::fclose(rec.tmpFile);
        rec.tmpFile = nullptr;
    }
    if (rec.tmpFileName.Length()) unlink(ZeroTerminated(rec.tmpFileName).Data());
    ClearanceUpgrade(rec);
}
