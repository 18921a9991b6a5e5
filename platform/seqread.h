// Sequential reading of whole files in large blocks, for the tests that scan
// a file from start to end (checksums, comparisons, content searches).
// The page cache, not the arithmetic, decides how fast those run, so reads
// are large and the kernel is told the access is sequential.
#pragma once

#include <cstddef>

#include "core/zostring.h"

// Block size the scanning tests read with: large enough that the cost of a
// read call vanishes against copying the bytes out of the page cache.
const size_t kScanBlockSize = 1 << 20;
// A file that reports size 0 (a pseudo-file of /proc or /sys) is read up to
// this many bytes and then treated as complete: its size tells nothing, and
// a reader that waits for an end that never comes holds a thread for ever.
const long long kPseudoFileLimit = 16LL << 20;

// One file open for sequential reading. Owns its descriptor (close-on-exec)
// and closes it on destruction. One thread at a time per object, except
// for ReadFullAt and Size, which any number of threads may call at once.
class TSeqFile {
  public:
    TSeqFile() = default;
    TSeqFile(const TSeqFile&) = delete;
    TSeqFile& operator=(const TSeqFile&) = delete;
    ~TSeqFile() { Close(); }

    // Opens Name for reading (symbolic links followed). A character or
    // block device, a FIFO or a socket has no end to read to (/dev/zero),
    // and Open returns false for it as for a file that cannot be opened
    // (the open never blocks, not even on a FIFO). Returns false when Name is
    // empty or cannot be opened. A file that reports size 0 reads as at
    // most kPseudoFileLimit bytes.
    bool Open(const String& Name);
    void Close();
    // Size reported by fstat; -1 when it cannot be examined.
    long long Size() const;
    // Reads until n bytes are in buf or the end of the file is reached.
    // Returns the count (less than n only at the end) or -1 on a read error.
    long long ReadFull(char* buf, size_t n);
    // The same from the file offset at, without moving the file position;
    // several threads may read one file this way at once.
    long long ReadFullAt(char* buf, size_t n, long long at) const;
    // Device and inode of the open file, for telling whether two opens of
    // one name reached the same file. False when fstat fails.
    bool Identity(unsigned long long& dev, unsigned long long& ino) const;

  private:
    // How many of n bytes at offset at may still be read.
    size_t Allowed(size_t n, long long at) const;

    int fd = -1;
    long long limit = -1;    // bytes readable in all; -1: to the end
    long long consumed = 0;  // bytes ReadFull has returned
};

// A heap block of n bytes that frees itself; Data() is null when the
// allocation failed.
class TScanBuffer {
  public:
    explicit TScanBuffer(size_t n);
    TScanBuffer(const TScanBuffer&) = delete;
    TScanBuffer& operator=(const TScanBuffer&) = delete;
    ~TScanBuffer();
    char* Data() { return data; }
    // Makes it n bytes long, keeping the first bytes; false, the block
    // unchanged, when that cannot be allocated (or Data() is null).
    bool Resize(size_t n);

  private:
    char* data = nullptr;
};
