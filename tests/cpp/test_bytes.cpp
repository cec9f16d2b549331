// The byte counts that decide which inline rules run and how much room they
// get: exact for every length, across the 16-byte blocks, the switch to
// counting lane by lane and the point where lane counts are summed before
// they can overflow (255 blocks dense in hits).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "../../src/common/bytes.hpp"

namespace {

TEST(CountEach, MatchesAPlainCountAtEveryBoundary) {
    static constexpr char kCounted[] = {'*', '_', '`', '\n', '\r'};
    std::mt19937 random(2026);
    const std::string alphabets[] = {"*", "*_`\n\r", "ab*", "abcdefghijklmnopqrstuvwxyz_"};
    for (const std::size_t length : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 31u, 1023u, 1024u, 1025u, 4079u, 4080u,
                                     4081u, 4096u, 8192u, 70001u}) {
        for (const std::string& alphabet : alphabets) {
            std::string text(length, ' ');
            for (char& byte : text) byte = alphabet[random() % alphabet.size()];
            const auto counts = zendral::bytes::count_each(text, kCounted);
            for (std::size_t k = 0; k < std::size(kCounted); ++k) {
                EXPECT_EQ(counts[k], static_cast<std::size_t>(std::count(text.begin(), text.end(), kCounted[k])))
                    << "length " << length << ", byte " << k << ", alphabet " << alphabet;
            }
        }
    }
}

}  // namespace
