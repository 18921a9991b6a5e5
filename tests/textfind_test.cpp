// The block search agrees with the plain byte search (mempos / memposi) on
// generated texts, at every alignment and near both ends of the block.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "handlers/textfind.h"

namespace {

TEST(TextFinder, AgreesWithMempos) {
    std::mt19937 rng(11);
    const char alphabet[] = "aAbB xX:1\xe9\x00";
    for (int round = 0; round < 4000; round++) {
        std::string hay(rng() % 200, ' ');
        for (char& c : hay) c = alphabet[rng() % (sizeof alphabet - 1)];
        std::string needle(1 + rng() % 5, ' ');
        for (char& c : needle) c = alphabet[rng() % (sizeof alphabet - 1)];
        // Plant the needle, sometimes in the other case, sometimes at the end.
        if (!hay.empty() && rng() % 2) {
            const size_t at = rng() % 3 == 0 ? hay.size() - std::min(hay.size(), needle.size())
                                             : rng() % hay.size();
            for (size_t i = 0; i < needle.size() && at + i < hay.size(); i++)
                hay[at + i] = rng() % 2 ? char(std::toupper(needle[i])) : needle[i];
        }
        for (int cs = 0; cs < 2; cs++) {
            TTextFinder f;
            f.Init(String(needle.data(), int(needle.size())), cs);
            const int want =
                cs ? mempos(hay.data(), int(hay.size()), needle.data(), int(needle.size()))
                   : memposi(hay.data(), int(hay.size()), needle.data(), int(needle.size()));
            const char* got = f.Find(hay.data(), hay.size());
            ASSERT_EQ(got ? int(got - hay.data()) + 1 : 0, want)
                << "cs=" << cs << " needle=" << needle << " hay=" << hay;
        }
    }
    TTextFinder empty;
    empty.Init(String(), 1);
    EXPECT_EQ(empty.Find("abc", 3), nullptr);
}

// Every scan path the machine offers (forced in turn) gives the answer of
// the plain byte search for a needle at each start of a block of up to 100
// bytes: across the 16- and 32-byte steps of the vector scans, their tails
// and the block's end. Decoys that share the two bytes compared first (but
// not the rest) sit before the needle; the block's end is its own buffer
// end, so a read past it shows under the address sanitizer.
TEST(TextFinder, EveryScanPathAgreesAtEveryBlockBoundary) {
    const TTextFinder::TPath paths[] = {TTextFinder::pathScalar, TTextFinder::pathSse2,
                                        TTextFinder::pathAvx2};
    const char* const needles[] = {"q",
                                   "Qz",
                                   "zQx",
                                   "ErrOr",
                                   "kernel: oops",
                                   "0123456789abcdefX",
                                   "a bit over thirty-two bytes long!!"};
    int tried = 0;
    for (TTextFinder::TPath path : paths) {
        if (!TTextFinder::PathAvailable(path)) continue;
        tried++;
        for (const char* text : needles) {
            const std::string needle = text;
            for (int cs = 0; cs < 2; cs++) {
                TTextFinder f;
                f.Init(String(needle.data(), int(needle.size())), cs);
                ASSERT_TRUE(f.ForcePath(path));
                for (size_t n = needle.size(); n <= 100; n++) {
                    for (size_t at = 0; at + needle.size() <= n + 1; at++) {
                        // at == n - size + 1: the needle is absent.
                        std::string hay(n, '.');
                        for (size_t d = 0; d + needle.size() < at; d += needle.size() + 1) {
                            hay.replace(d, needle.size(), needle);
                            hay[d + needle.size() / 2] ^= 0x40;  // breaks this decoy
                        }
                        if (at + needle.size() <= n) {
                            std::string planted = needle;
                            if (!cs)
                                for (char& c : planted) c = char(std::toupper(c));
                            hay.replace(at, needle.size(), planted);
                        }
                        std::unique_ptr<char[]> block(new char[n ? n : 1]);
                        std::memcpy(block.get(), hay.data(), n);
                        const int want =
                            cs ? mempos(block.get(), int(n), text, int(needle.size()))
                               : memposi(block.get(), int(n), text, int(needle.size()));
                        const char* got = f.Find(block.get(), n);
                        ASSERT_EQ(got ? int(got - block.get()) + 1 : 0, want)
                            << "path=" << path << " cs=" << cs << " needle=" << needle << " n=" << n
                            << " at=" << at;
                    }
                }
            }
        }
    }
    EXPECT_GE(tried, 1);
}

}  // namespace
