#include "vlx/settings/scramble.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace vlx {
namespace {

TEST(Scramble, RoundTripsEveryByteValueAndLength) {
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(Unscramble(Scramble(all).c_str()), all);

    std::mt19937 rng(7);
    for (size_t len = 0; len <= kScrambleMaxPlain; len += (len < 40 ? 1 : 37)) {
        std::string plain;
        for (size_t i = 0; i < len; ++i) plain.push_back(static_cast<char>(1 + rng() % 255));
        std::string sym = Scramble(plain);
        EXPECT_EQ(sym.size(), (len * 8 + 4) / 5) << len;
        EXPECT_EQ(Unscramble(sym.c_str()), plain) << len;
    }
}

TEST(Scramble, LongestValueFitsTheRecordAndLongerTextIsCut) {
    std::string plain(kScrambleMaxPlain, 'p');
    std::string sym = Scramble(plain);
    EXPECT_LT(sym.size() + 1, kScrambleSymbolCap + 1);
    EXPECT_EQ(sym.size(), 999u);
    std::string longer(700, 'q');
    EXPECT_EQ(Unscramble(Scramble(longer).c_str()), longer.substr(0, kScrambleMaxPlain));
}

TEST(Scramble, OutputUsesOnlyTheAlphabetAndHidesThePlainText) {
    std::string sym = Scramble("secret-password");
    for (char c : sym) EXPECT_NE(std::string("ABCDEFGHJKLMNPQRSTUVWXYZ23456789").find(c), std::string::npos);
    EXPECT_EQ(sym.find("secret"), std::string::npos);
    EXPECT_NE(Scramble("aaaa"), Scramble("aaab"));
}

TEST(Scramble, DecodingStopsAtForeignCharactersAndCapacity) {
    std::string sym = Scramble("abcdefgh");
    std::string cut = sym.substr(0, 8) + "!" + sym.substr(8);
    EXPECT_EQ(Unscramble(cut.c_str()), "abcde");
    EXPECT_EQ(Unscramble(sym.c_str(), 4), "abc");
    EXPECT_EQ(Unscramble(""), "");
    EXPECT_EQ(Unscramble(nullptr), "");
}

}  // namespace
}  // namespace vlx
