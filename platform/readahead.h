// Reading a file a few blocks ahead of its consumer, on a helper thread, so
// that copying the bytes out of the page cache and working on them (a
// checksum) overlap instead of adding up.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform/seqread.h"

// One pipeline over an open file. The consumer calls Start once, then Next
// and Release in turn until Next reports the end; the destructor stops and
// joins the helper whatever state it is in. Only the consumer's thread
// calls the public functions; the ring is shared with the helper behind
// ring_mutex.
class TReadAhead {
  public:
    // Blocks: number of ring slots (at least 2), each BlockSize bytes.
    TReadAhead(TSeqFile& File, size_t BlockSize, int Blocks);
    TReadAhead(const TReadAhead&) = delete;
    TReadAhead& operator=(const TReadAhead&) = delete;
    ~TReadAhead();

    // Allocates the ring and starts the helper. False when either fails;
    // the file is then untouched and the caller reads it itself.
    bool Start();
    // Waits for the next block: Data and Size describe it (Size 0: the end
    // of the file). Returns false when the read failed. The block stays
    // valid until Release.
    bool Next(const char*& Data, size_t& Size);
    // Hands the block from Next back to the helper.
    void Release();

  private:
    static void* Run(void* Self);
    void Produce();

    TSeqFile& file;
    const size_t blockSize;
    const int slots;
    char* ring = nullptr;
    pthread_t helper{};
    bool started = false;

    // Guarded by ring_mutex:
    std::mutex ring_mutex;
    std::condition_variable changed;
    size_t* lengths = nullptr;  // bytes in each slot
    int filled = 0;             // slots ready for the consumer
    int head = 0;               // next slot the helper fills
    bool finished = false;      // the helper met the end or an error
    bool failed = false;        // a read failed
    bool stop = false;          // the consumer has gone
    int tail = 0;               // next slot the consumer takes (consumer only)
};
