#include "handlers/filecrc.h"

#include <pthread.h>

#include "platform/seqread.h"
#include "protocol/crypto/crc32.h"

namespace {

// The reflected polynomial of TCRC32.
const unsigned int kPoly = 0xEDB88320u;

// a * b modulo the polynomial, both in the reflected form (bit 31 is x^0).
unsigned int MultModP(unsigned int a, unsigned int b) {
    unsigned int product = 0;
    for (unsigned int m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ kPoly : b >> 1;
    }
    return product;
}

// x^(8 * n) modulo the polynomial: what n zero bytes do to a register.
unsigned int ZeroBytesOperator(long long n) {
    unsigned int result = 1u << 31;  // x^0
    unsigned int square = 1u << 23;  // x^8, one byte
    for (unsigned long long k = (unsigned long long)n; k != 0; k >>= 1) {
        if (k & 1) result = MultModP(square, result);
        square = MultModP(square, square);
    }
    return result;
}

// The register over the bytes from From to the end of the file (To < 0) or
// to To, started at 0xFFFFFFFF. Count receives the bytes read.
bool CrcRange(const TSeqFile& File, long long From, long long To, unsigned int& Reg,
              long long& Count) {
    TScanBuffer buffer(kCrcBlockSize);
    if (!buffer.Data()) return false;
    TCRC32 crc;
    Count = 0;
    for (long long at = From; To < 0 || at < To;) {
        size_t want = kCrcBlockSize;
        if (To >= 0 && (long long)want > To - at) want = size_t(To - at);
        const long long n = File.ReadFullAt(buffer.Data(), want, at);
        if (n < 0) return false;
        crc.UpdateCRC(buffer.Data(), int(n));
        at += n;
        Count += n;
        if (size_t(n) < want) break;
    }
    Reg = crc.GetCRC();
    return true;
}

// The second half of a split checksum, run on the helper thread.
struct TSecondHalf {
    const TSeqFile* file;
    long long from;
    unsigned int reg = 0;
    long long count = 0;
    bool ok = false;
};

void* RunSecondHalf(void* Arg) {
    TSecondHalf* half = static_cast<TSecondHalf*>(Arg);
    half->ok = CrcRange(*half->file, half->from, -1, half->reg, half->count);
    return nullptr;
}

// Checksums File in two halves at once: the first on this thread through
// File, the second on a helper through its own open of Name (its own
// read-ahead state). Returns 1 done, 0 read error, -1 when the split could
// not be set up (nothing read; the caller goes on alone).
int SplitCrc(const String& Name, const TSeqFile& File, long long Size, unsigned int& Reg) {
    TSeqFile second;
    unsigned long long dev1 = 0, ino1 = 0, dev2 = 0, ino2 = 0;
    if (!second.Open(Name) || !File.Identity(dev1, ino1) || !second.Identity(dev2, ino2) ||
        dev1 != dev2 || ino1 != ino2)
        return -1;
    const long long middle = (Size / 2 / (long long)kCrcBlockSize) * (long long)kCrcBlockSize;
    TSecondHalf half;
    half.file = &second;
    half.from = middle;
    pthread_t helper;
    if (pthread_create(&helper, nullptr, RunSecondHalf, &half) != 0) return -1;
    unsigned int first = 0;
    long long count = 0;
    const bool ok = CrcRange(File, 0, middle, first, count);
    pthread_join(helper, nullptr);
    if (!ok || !half.ok) return 0;
    // A file cut short within the first half leaves nothing for the second.
    Reg = JoinCRC(first, half.reg, half.count);
    return 1;
}

}  // namespace

unsigned int JoinCRC(unsigned int RegA, unsigned int RegB, long long LengthB) {
    // The register is linear in its start value: B from RegA differs from B
    // from 0xFFFFFFFF by RegA ^ 0xFFFFFFFF carried over B's length.
    return MultModP(ZeroBytesOperator(LengthB), RegA ^ 0xFFFFFFFFu) ^ RegB;
}

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
    unsigned int reg = 0;
    int done = -1;
    const long long size = file.Size();
    if (size > kCrcSplitSize) done = SplitCrc(Name, file, size, reg);
    if (done < 0) {
        long long count = 0;
        done = CrcRange(file, 0, -1, reg, count) ? 1 : 0;
    }
    if (done == 0) {
        Error = "Read error";
        return false;
    }
    Crc = reg;
    return true;
}
