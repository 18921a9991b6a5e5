#include "handlers/filecrc.h"

#include "platform/readahead.h"
#include "platform/seqread.h"
#include "protocol/crypto/crc32.h"

namespace {

const int kCrcSlots = 4;

// The checksum over blocks read ahead on a helper thread. Returns 1 done,
// 0 read error, -1 when the helper could not be had (nothing read yet).
int CrcReadAhead(TSeqFile& File, TCRC32& Crc) {
    TReadAhead ahead(File, kCrcBlockSize, kCrcSlots);
    if (!ahead.Start()) return -1;
    for (;;) {
        const char* data = nullptr;
        size_t n = 0;
        if (!ahead.Next(data, n)) return 0;
        if (n == 0) return 1;
        Crc.UpdateCRC(data, int(n));
        ahead.Release();
    }
}

// The checksum read block by block on the calling thread.
bool CrcInline(TSeqFile& File, TCRC32& Crc) {
    TScanBuffer buffer(kCrcBlockSize);
    if (!buffer.Data()) return false;
    for (;;) {
        const long long n = File.ReadFull(buffer.Data(), kCrcBlockSize);
        if (n < 0) return false;
        Crc.UpdateCRC(buffer.Data(), int(n));
        if (size_t(n) < kCrcBlockSize) return true;
    }
}

}  // namespace

bool GetFileCRC(const String& Name, unsigned int& Crc, String& Error) {
    if (Name.Length() == 0) {
        Error = "File is not specified";
        return false;
    }
    TSeqFile file;
    if (!file.Open(Name)) {
        Error = "Cannot open file";
        return false;
    }
    TCRC32 crc;
    int done = -1;
    if (file.Size() > kCrcReadAheadSize) done = CrcReadAhead(file, crc);
    if (done < 0) done = CrcInline(file, crc) ? 1 : 0;
    if (done == 0) {
        Error = "Read error";
        return false;
    }
    Crc = crc.GetCRC();
    return true;
}
