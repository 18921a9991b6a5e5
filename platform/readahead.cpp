#include "platform/readahead.h"

#include <cstdlib>

TReadAhead::TReadAhead(TSeqFile& File, size_t BlockSize, int Blocks)
    : file(File), blockSize(BlockSize), slots(Blocks < 2 ? 2 : Blocks) {}

TReadAhead::~TReadAhead() {
    if (started) {
        {
            std::lock_guard<std::mutex> lock(ring_mutex);
            stop = true;
        }
        changed.notify_all();
        pthread_join(helper, nullptr);
    }
    free(ring);
    free(lengths);
}

bool TReadAhead::Start() {
    ring = static_cast<char*>(malloc(blockSize * size_t(slots)));
    lengths = static_cast<size_t*>(calloc(size_t(slots), sizeof(size_t)));
    if (!ring || !lengths) return false;
    started = pthread_create(&helper, nullptr, Run, this) == 0;
    return started;
}

void* TReadAhead::Run(void* Self) {
    static_cast<TReadAhead*>(Self)->Produce();
    return nullptr;
}

void TReadAhead::Produce() {
    for (;;) {
        int slot;
        {
            std::unique_lock<std::mutex> lock(ring_mutex);
            changed.wait(lock, [this] { return stop || filled < slots; });
            if (stop) return;
            slot = head;
        }
        // The slot is invisible to the consumer until it is counted in
        // `filled`, so it is filled outside the lock.
        const long long n = file.ReadFull(ring + size_t(slot) * blockSize, blockSize);
        {
            std::lock_guard<std::mutex> lock(ring_mutex);
            if (n < 0) {
                failed = true;
                finished = true;
            } else {
                lengths[slot] = size_t(n);
                head = (head + 1) % slots;
                filled++;
                if (size_t(n) < blockSize) finished = true;
            }
        }
        changed.notify_all();
        if (n < 0 || size_t(n) < blockSize) return;
    }
}

bool TReadAhead::Next(const char*& Data, size_t& Size) {
    std::unique_lock<std::mutex> lock(ring_mutex);
    changed.wait(lock, [this] { return filled > 0 || finished; });
    if (filled == 0) {
        Data = nullptr;
        Size = 0;
        return !failed;
    }
    Data = ring + size_t(tail) * blockSize;
    Size = lengths[tail];
    return true;
}

void TReadAhead::Release() {
    {
        std::lock_guard<std::mutex> lock(ring_mutex);
        if (filled == 0) return;
        filled--;
        tail = (tail + 1) % slots;
    }
    changed.notify_all();
}
