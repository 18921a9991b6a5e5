// The block search agrees with the plain byte search (mempos / memposi) on
// generated texts, at every alignment and near both ends of the block.
#include <gtest/gtest.h>

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

}  // namespace
