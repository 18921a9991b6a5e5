// Throughput of the checksum, hash and cipher code, with nettle's Twofish in
// CFB-8 as the yardstick for the packet cipher when it is installed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "protocol/crypto/cfb8.h"
#include "protocol/crypto/ciplib.h"
#include "protocol/crypto/crc32.h"
#include "protocol/crypto/md5.h"
#include "protocol/crypto/twofish.h"

#ifdef TEV_HAVE_NETTLE
#include <nettle/cfb.h>
#include <nettle/twofish.h>
#endif

namespace {

constexpr size_t kCrcSize = 64u << 20;
constexpr size_t kCipherSize = 64u << 10;

const std::vector<char>& Data(size_t n) {
    static std::vector<char> data;
    if (data.size() < n) {
        std::mt19937 gen(1);
        data.resize(n);
        for (auto& c : data) c = static_cast<char>(gen());
    }
    return data;
}

void BM_Crc32ByteLoop(benchmark::State& state) {
    const auto& d = Data(kCrcSize);
    TCRC32 crc;
    for (auto _ : state) {
        crc.InitCRC();
        for (size_t i = 0; i < kCrcSize; ++i) crc.UpdateCRC(static_cast<unsigned char>(d[i]));
        benchmark::DoNotOptimize(crc.GetCRC());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCrcSize));
}
BENCHMARK(BM_Crc32ByteLoop)->Unit(benchmark::kMillisecond);

void BM_Crc32Bulk(benchmark::State& state) {
    const auto& d = Data(kCrcSize);
    TCRC32 crc;
    for (auto _ : state)
        benchmark::DoNotOptimize(crc.GetBlockCRC(d.data(), static_cast<int>(kCrcSize)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCrcSize));
}
BENCHMARK(BM_Crc32Bulk)->Unit(benchmark::kMillisecond);

// Argument: message length. 15 bytes is a typical key text.
void BM_Sha1(benchmark::State& state) {
    const auto& d = Data(kCipherSize);
    long n = static_cast<long>(state.range(0));
    THash_SHA sha;
    for (auto _ : state) benchmark::DoNotOptimize(sha.GetHash(d.data(), n));
    state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_Sha1)->Arg(15)->Arg(kCipherSize);

void BM_Md5(benchmark::State& state) {
    const auto& d = Data(kCipherSize);
    unsigned long n = static_cast<unsigned long>(state.range(0));
    unsigned char digest[16];
    for (auto _ : state) {
        MD5Context ctx;
        MD5Open(&ctx);
        MD5Digest(&ctx, d.data(), n);
        MD5Close(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_Md5)->Arg(15)->Arg(kCipherSize);

void BM_TwofishPrepareKey(benchmark::State& state) {
    Twofish_initialise();
    Twofish_Byte key[20];
    std::memcpy(key, Data(20).data(), 20);
    Twofish_key xkey;
    for (auto _ : state) {
        Twofish_prepare_key(key, 20, &xkey);
        benchmark::DoNotOptimize(xkey.K[0]);
    }
}
BENCHMARK(BM_TwofishPrepareKey);

// In the running agent the kernel's network work and other requests evict
// the caches between two requests, so the key schedule finds its tables and
// its destination cold. EvictCaches dirties every line of a buffer larger
// than the private caches; the cold benchmarks time only the work after it.
// Argument of the cold benchmarks: the buffer size in KiB (2048 leaves the
// last-level cache warm, 65536 empties it as well). Their iteration counts
// are fixed, as the eviction, not the timed work, takes the time.
void EvictCaches(size_t bytes) {
    static std::vector<char> junk;
    if (junk.size() < bytes) junk.resize(bytes);
    for (size_t i = 0; i < bytes; i += 64) junk[i] = static_cast<char>(junk[i] + 1);
    benchmark::ClobberMemory();
}

// Runs work() once per iteration after evicting the caches; only work() is
// timed (manual time).
template <typename Work>
void TimeCold(benchmark::State& state, Work work) {
    const size_t bytes = static_cast<size_t>(state.range(0)) << 10;
    for (auto _ : state) {
        EvictCaches(bytes);
        auto start = std::chrono::steady_clock::now();
        work();
        auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
}

// The baseline of the cold figures: the clock reads alone after an eviction.
#define TEV_COLD_BENCHMARK(f)                                    \
    BENCHMARK(f)->Arg(2048)->Iterations(20000)->UseManualTime(); \
    BENCHMARK(f)->Arg(65536)->Iterations(100)->UseManualTime()

void BM_ColdNothing(benchmark::State& state) {
    TimeCold(state, [] { benchmark::ClobberMemory(); });
}
TEV_COLD_BENCHMARK(BM_ColdNothing);

void BM_TwofishPrepareKeyCold(benchmark::State& state) {
    Twofish_initialise();
    Twofish_Byte key[20];
    std::memcpy(key, Data(20).data(), 20);
    Twofish_key xkey;
    TimeCold(state, [&] {
        Twofish_prepare_key(key, 20, &xkey);
        benchmark::DoNotOptimize(xkey.K[0]);
    });
}
TEV_COLD_BENCHMARK(BM_TwofishPrepareKeyCold);

void BM_TwofishEncryptBlock(benchmark::State& state) {
    Twofish_initialise();
    Twofish_key xkey;
    Twofish_prepare_key(reinterpret_cast<const Twofish_Byte*>(Data(20).data()), 20, &xkey);
    Twofish_Byte block[16] = {0};
    for (auto _ : state) {
        Twofish_encrypt(&xkey, block, block);  // chained: measures latency
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK(BM_TwofishEncryptBlock);

// Key text to prepared cipher, as done for every request and reply.
void BM_PacketCipherPrepare(benchmark::State& state) {
    TCfb8Key key;
    for (auto _ : state) {
        key.Prepare("sessionkey-0123", 15);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PacketCipherPrepare);

// The whole crypto of a short request: its session key prepared, 60 bytes
// of request decrypted and 30 bytes of reply encrypted.
void ShortRequestCrypto(TCfb8Key& key, char* buf) {
    key.Prepare("sessionkey-0123", 15);
    key.Decrypt(buf, buf, 60);
    key.Encrypt(buf, buf, 30);
    benchmark::DoNotOptimize(buf);
}

void BM_ShortRequestCrypto(benchmark::State& state) {
    TCfb8Key key;
    char buf[60];
    std::memcpy(buf, Data(60).data(), sizeof buf);
    for (auto _ : state) ShortRequestCrypto(key, buf);
}
BENCHMARK(BM_ShortRequestCrypto);

void BM_ShortRequestCryptoCold(benchmark::State& state) {
    TCfb8Key key;
    char buf[60];
    std::memcpy(buf, Data(60).data(), sizeof buf);
    TimeCold(state, [&] { ShortRequestCrypto(key, buf); });
}
TEV_COLD_BENCHMARK(BM_ShortRequestCryptoCold);

// The parts of a short request's crypto, each on its own after an eviction:
// in the agent the reply is encrypted after the request has been handled,
// when the prepared key may be cold again.
void BM_PacketCipherPrepareCold(benchmark::State& state) {
    TCfb8Key key;
    TimeCold(state, [&] {
        key.Prepare("sessionkey-0123", 15);
        benchmark::ClobberMemory();
    });
}
TEV_COLD_BENCHMARK(BM_PacketCipherPrepareCold);

// Argument pair of the two below: eviction size in KiB, message length.
void ShortMessageCold(benchmark::State& state, bool decrypt) {
    TCfb8Key key("sessionkey-0123", 15);
    char buf[100];
    std::memcpy(buf, Data(sizeof buf).data(), sizeof buf);
    const int n = static_cast<int>(state.range(1));
    TimeCold(state, [&] {
        if (decrypt)
            key.Decrypt(buf, buf, n);
        else
            key.Encrypt(buf, buf, n);
        benchmark::DoNotOptimize(buf);
    });
}

void BM_ShortRequestDecryptCold(benchmark::State& state) {
    ShortMessageCold(state, true);
}
BENCHMARK(BM_ShortRequestDecryptCold)->Args({2048, 60})->Iterations(20000)->UseManualTime();
BENCHMARK(BM_ShortRequestDecryptCold)->Args({65536, 60})->Iterations(100)->UseManualTime();

void BM_ShortReplyEncryptCold(benchmark::State& state) {
    ShortMessageCold(state, false);
}
BENCHMARK(BM_ShortReplyEncryptCold)->Args({2048, 30})->Iterations(20000)->UseManualTime();
BENCHMARK(BM_ShortReplyEncryptCold)->Args({65536, 30})->Iterations(100)->UseManualTime();

void BM_PacketCipherEncrypt(benchmark::State& state) {
    const auto& d = Data(kCipherSize);
    std::vector<char> out(kCipherSize);
    TCfb8Key key("sessionkey-0123", 15);
    for (auto _ : state) {
        key.Encrypt(d.data(), out.data(), static_cast<int>(kCipherSize));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCipherSize));
}
BENCHMARK(BM_PacketCipherEncrypt)->Unit(benchmark::kMicrosecond);

void BM_PacketCipherDecrypt(benchmark::State& state) {
    const auto& d = Data(kCipherSize);
    std::vector<char> out(kCipherSize);
    TCfb8Key key("sessionkey-0123", 15);
    for (auto _ : state) {
        key.Decrypt(d.data(), out.data(), static_cast<int>(kCipherSize));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCipherSize));
}
BENCHMARK(BM_PacketCipherDecrypt)->Unit(benchmark::kMicrosecond);

#ifdef TEV_HAVE_NETTLE
// nettle's generic CFB-8 over its Twofish, same key size and data.
typedef void (*NettleCfb8)(const void*, nettle_cipher_func*, size_t, uint8_t*, size_t, uint8_t*,
                           const uint8_t*);

void NettleTwofishCfb8(benchmark::State& state, NettleCfb8 mode) {
    const auto& d = Data(kCipherSize);
    std::vector<uint8_t> out(kCipherSize);
    twofish_ctx ctx;
    twofish_set_key(&ctx, 20, reinterpret_cast<const uint8_t*>(Data(20).data()));
    // The void(void) step is the sanctioned way to change a function
    // pointer's type without a cast-function-type warning.
    auto* f = reinterpret_cast<nettle_cipher_func*>(reinterpret_cast<void (*)()>(&twofish_encrypt));
    for (auto _ : state) {
        uint8_t iv[16];
        std::memset(iv, 0xFF, sizeof iv);
        mode(&ctx, f, 16, iv, kCipherSize, out.data(), reinterpret_cast<const uint8_t*>(d.data()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCipherSize));
}

void BM_NettleTwofishCfb8Encrypt(benchmark::State& state) {
    NettleTwofishCfb8(state, &cfb8_encrypt);
}
BENCHMARK(BM_NettleTwofishCfb8Encrypt)->Unit(benchmark::kMicrosecond);

void BM_NettleTwofishCfb8Decrypt(benchmark::State& state) {
    NettleTwofishCfb8(state, &cfb8_decrypt);
}
BENCHMARK(BM_NettleTwofishCfb8Decrypt)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
