#include "handlers/filecrc.h"

#include "platform/seqread.h"
#include "protocol/crypto/crc32.h"

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
    TScanBuffer buffer(kScanBlockSize);
    if (!buffer.Data()) {
        Error = "Read error";
        return false;
    }
    TCRC32 crc;
    for (;;) {
        const long long n = file.ReadFull(buffer.Data(), kScanBlockSize);
        if (n < 0) {
            Error = "Read error";
            return false;
        }
        crc.UpdateCRC(buffer.Data(), int(n));
        if (size_t(n) < kScanBlockSize) break;
    }
    Crc = crc.GetCRC();
    return true;
}
