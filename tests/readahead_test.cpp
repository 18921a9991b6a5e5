#include "platform/readahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/seqread.h"

namespace {

class ReadAheadConcurrent : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_ahead_XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
    }
    void TearDown() override { unlink(path.c_str()); }
    void Fill(size_t n) {
        content.assign(n, 0);
        for (size_t i = 0; i < n; i++) content[i] = char(i * 7 + i / 251);
        FILE* f = fopen(path.c_str(), "wbe");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(content.data(), 1, n, f), n);
        fclose(f);
    }
    std::string path, content;
};

// Every size around the block and ring boundaries comes back whole and in
// order, however the two threads interleave.
TEST_F(ReadAheadConcurrent, DeliversTheFileInOrder) {
    const size_t block = 64;
    for (size_t size : {size_t(0), size_t(1), block - 1, block, block + 1, 3 * block, 3 * block + 1,
                        40 * block + 5}) {
        SCOPED_TRACE(size);
        Fill(size);
        TSeqFile file;
        ASSERT_TRUE(file.Open(path.c_str()));
        TReadAhead ahead(file, block, 3);
        ASSERT_TRUE(ahead.Start());
        std::string got;
        for (;;) {
            const char* p = nullptr;
            size_t n = 0;
            ASSERT_TRUE(ahead.Next(p, n));
            if (n == 0) break;
            got.append(p, n);
            ahead.Release();
        }
        EXPECT_EQ(got, content);
    }
}

// A consumer that leaves early (or fails) stops the helper cleanly.
TEST_F(ReadAheadConcurrent, StopsWhenTheConsumerLeaves) {
    Fill(100000);
    for (int taken = 0; taken < 4; taken++) {
        TSeqFile file;
        ASSERT_TRUE(file.Open(path.c_str()));
        TReadAhead ahead(file, 128, 2);
        ASSERT_TRUE(ahead.Start());
        for (int i = 0; i < taken; i++) {
            const char* p = nullptr;
            size_t n = 0;
            ASSERT_TRUE(ahead.Next(p, n));
            ahead.Release();
        }
    }
}

// A folder opens but cannot be read: the failure reaches the consumer.
TEST_F(ReadAheadConcurrent, ReportsAReadError) {
    TSeqFile file;
    ASSERT_TRUE(file.Open("/tmp"));
    TReadAhead ahead(file, 128, 2);
    ASSERT_TRUE(ahead.Start());
    const char* p = nullptr;
    size_t n = 0;
    EXPECT_FALSE(ahead.Next(p, n));
}

}  // namespace
