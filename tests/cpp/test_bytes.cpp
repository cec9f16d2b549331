// The byte counts that decide which inline rules run and how much room they
// get: exact for every length, across the 16-byte blocks, the switch to
// counting lane by lane and the point where lane counts are summed before
// they can overflow (255 blocks dense in hits).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "../../src/common/bytes.hpp"
#include "../../src/common/escape.hpp"

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

// The tests that escaping starts from: whether a text holds a byte of the
// class, and the first such byte in a range, for every byte value, at every position and range of texts across
// the 16-byte blocks and the overlapping last one.
template <class Class>
void expect_plain_search_results(const char* name) {
    for (int value = 0; value < 256; ++value) {
        for (const std::size_t length : {1u, 15u, 16u, 17u, 33u, 40u}) {
            for (std::size_t hit = 0; hit < length; ++hit) {
                std::string text(length, 'a');
                text[hit] = static_cast<char>(value);
                const bool member = Class::has(static_cast<unsigned char>(value));
                for (std::size_t from = 0; from <= length; ++from) {
                    for (std::size_t to = from; to <= length; ++to) {
                        const std::size_t want = member && hit >= from && hit < to ? hit : std::string::npos;
                        ASSERT_EQ(zendral::bytes::find_in_class<Class>(text, from, to), want)
                            << name << ": byte " << value << " at " << hit << " of " << length << ", in [" << from
                            << ", " << to << ")";
                        ASSERT_EQ(zendral::bytes::any_in_class<Class>(std::string_view(text).substr(from, to - from)),
                                  want != std::string::npos)
                            << name << ": byte " << value << " at " << hit << " of [" << from << ", " << to << ")";
                    }
                }
            }
        }
    }
}

TEST(FindInClass, MatchesAPlainSearch) {
    expect_plain_search_results<zendral::escape::Html>("html");
    expect_plain_search_results<zendral::escape::Json>("json");
    // Exactly the bytes each option escapes.
    std::string html, json;
    for (int value = 0; value < 256; ++value) {
        if (zendral::escape::Html::has(static_cast<unsigned char>(value))) html += static_cast<char>(value);
        if (zendral::escape::Json::has(static_cast<unsigned char>(value))) json += static_cast<char>(value);
    }
    EXPECT_EQ(html, "\"&<>");
    std::string controls;
    for (int value = 0; value < 0x20; ++value) controls += static_cast<char>(value);
    EXPECT_EQ(json, controls + "\"\\");
}

// The ASCII test of the modules' str building, alone and riding along with
// a copy: a byte of 0x80 or above (or just below) at every position of
// lengths around the blocks' width, and the copy itself.
TEST(IsAscii, FindsAHighByteAnywhere) {
    for (const std::size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 47u}) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (const unsigned char high : {0x7Fu, 0x80u, 0xC3u, 0xFFu}) {
                std::string text(length, 'a');
                if (at < length) text[at] = static_cast<char>(high);
                const bool ascii = at == length || high < 0x80;
                ASSERT_EQ(zendral::bytes::is_ascii(text), ascii) << length << " " << at << " " << high;
                std::string copy(length, '\0');
                ASSERT_EQ(zendral::bytes::copy_ascii(copy.data(), text.data(), length), ascii) << length << " " << at;
                ASSERT_EQ(copy, text);
            }
        }
    }
}

}  // namespace
