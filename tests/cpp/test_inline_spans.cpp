#include <gtest/gtest.h>

#include <random>
#include <string>

#include "random_text.hpp"
#include "reference.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::render_inline_spans;

struct SpanCase {
    std::string line;
    std::string html;
};

void PrintTo(const SpanCase& c, std::ostream* os) { *os << testing::PrintToString(c.line); }

class InlineSpans : public testing::TestWithParam<SpanCase> {};

TEST_P(InlineSpans, MatchesExpectedBytes) {
    EXPECT_EQ(render_inline_spans(GetParam().line), GetParam().html);
    // The table is also a check of the references that the random tests and
    // the fuzzers trust.
    EXPECT_EQ(zendral::reference::render_inline_spans(GetParam().line), GetParam().html);
    EXPECT_EQ(zendral::reference::render_inline_spans_any_length(GetParam().line), GetParam().html);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, InlineSpans, testing::Values(
    SpanCase{"**a** and *b*", "<strong>a</strong> and <em>b</em>"},
    SpanCase{"***x***", "<strong><em>x</strong></em>"},
    SpanCase{"**a *b* c**", "<strong>a <em>b</em> c</strong>"},
    SpanCase{"*a **b** c*", "<em>a <strong>b</strong> c</em>"},
    SpanCase{"**a**b**", "<strong>a</strong>b<em></em>"},
    SpanCase{"**a", "<em></em>a"},
    SpanCase{"a ** b", "a <em></em> b"},
    SpanCase{"***", "<em></em>*"},
    SpanCase{"2*3*4", "2<em>3</em>4"},
    SpanCase{"5 * 3 = 15 * 1", "5 <em> 3 = 15 </em> 1"},
    SpanCase{"a*b", "a*b"},
    SpanCase{"__init__", "<strong>init</strong>"},
    SpanCase{"a_b_c", "a<em>b</em>c"},
    SpanCase{"snake_case_name", "snake<em>case</em>name"},
    SpanCase{"__a_b__", "_<em>a</em>b__"},
    SpanCase{"____", "____"},
    SpanCase{"`x_y_z`", "<code>x<em>y</em>z</code>"},
    SpanCase{"`*a*`", "<code><em>a</em></code>"},
    SpanCase{"`a_b` c_d_e", "<code>a<em>b</code> c</em>d_e"},
    SpanCase{"``", "``"},
    SpanCase{"*$1*", "<em>$1</em>"},
    SpanCase{"*a\nb*", "*a\nb*"},
    SpanCase{"_a\nb_", "<em>a\nb</em>"},
    SpanCase{"**a\nb**", "<em></em>a\nb<em></em>"}));

INSTANTIATE_TEST_SUITE_P(Edges, InlineSpans, testing::Values(
    SpanCase{"", ""},
    SpanCase{"plain text, no delimiters", "plain text, no delimiters"},
    SpanCase{"****", "<strong></strong>"},
    SpanCase{"*****", "<strong></strong>*"},
    SpanCase{"*a* *b*", "<em>a</em> <em>b</em>"},
    SpanCase{"*a\rb*", "*a\rb*"},
    SpanCase{"`a\r\nb`", "<code>a\r\nb</code>"},
    SpanCase{"\xC3\xA9*\xC3\xA9*", "\xC3\xA9<em>\xC3\xA9</em>"},
    SpanCase{"*\xE2\x80\xA8\xE2\x80\xA9*", "<em>\xE2\x80\xA8\xE2\x80\xA9</em>"},
    SpanCase{"*<a href=\"x\">&amp;*", "<em><a href=\"x\">&amp;</em>"},
    SpanCase{std::string("*\0*", 3), std::string("<em>\0</em>", 10)},
    // An opening delimiter without a partner on its line is passed over, and
    // the search resumes on the next line.
    SpanCase{"*a\n*b*", "*a\n<em>b</em>"},
    SpanCase{"**a\r**b**", "<em></em>a\r<strong>b</strong>"},
    SpanCase{"___a__", "_<strong>a</strong>"},
    SpanCase{"__a_b_c__", "_<em>a</em>b<em>c</em>_"},
    SpanCase{"__a___b__", "<strong>a</strong><em>b</em>_"},
    SpanCase{"x__", "x__"},
    SpanCase{"_", "_"},
    SpanCase{"`a``b`", "<code>a</code><code>b</code>"},
    SpanCase{"```", "```"},
    SpanCase{"$1 *$2* $&", "$1 <em>$2</em> $&"},
    // Each rule is skipped by the count of its own delimiter alone: one of
    // each stays, and a pair of one kind around a lone other is a span.
    SpanCase{"*_`", "*_`"},
    SpanCase{"`*`", "<code>*</code>"},
    SpanCase{"`_`", "<code>_</code>"},
    SpanCase{"*`*", "<em>`</em>"},
    SpanCase{"_`_", "<em>`</em>"},
    SpanCase{"__*__", "<strong>*</strong>"},
    SpanCase{"**_**", "<strong>_</strong>"}));

// Every short line over an alphabet dense in delimiters, line breaks and
// multi-byte text must come out exactly as the regular expressions make it.
TEST(InlineSpansDifferential, RandomLinesMatchTheRegularExpressions) {
    std::mt19937 random(20261207);
    for (int i = 0; i < 30000; ++i) {
        const std::string line = zendral::testing::random_markdown_line(random, 200);
        const std::string expected = zendral::reference::render_inline_spans(line);
        ASSERT_EQ(render_inline_spans(line), expected) << "line: " << testing::PrintToString(line);
        ASSERT_EQ(zendral::reference::render_inline_spans_any_length(line), expected)
            << "line: " << testing::PrintToString(line);
    }
}

// Lines far beyond what a recursive matcher survives; exact results by formula.
TEST(InlineSpansLongLines, LongSpansConvertWhole) {
    const std::string body(8 << 20, 'a');
    EXPECT_EQ(render_inline_spans("*" + body + "*"), "<em>" + body + "</em>");
    EXPECT_EQ(render_inline_spans("**" + body + "**"), "<strong>" + body + "</strong>");
    EXPECT_EQ(render_inline_spans("_" + body + "_"), "<em>" + body + "</em>");
    EXPECT_EQ(render_inline_spans("`" + body + "`"), "<code>" + body + "</code>");
}

TEST(InlineSpansLongLines, RunsOfAsterisksPairUp) {
    const std::string tails[] = {"", "*", "<em></em>", "<em></em>*"};
    for (std::size_t extra = 0; extra < 4; ++extra) {
        const std::size_t quads = 1 << 18;
        std::string expected;
        for (std::size_t i = 0; i < quads; ++i) expected += "<strong></strong>";
        expected += tails[extra];
        EXPECT_EQ(render_inline_spans(std::string(4 * quads + extra, '*')), expected) << extra;
    }
}

}  // namespace
