#include <gtest/gtest.h>

#include <random>
#include <string>

#include "random_text.hpp"
#include "reference.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;
using zendral::md_to_html;

struct DocumentCase {
    const char* name;
    LineList markdown;
    LineList html;
};

void PrintTo(const DocumentCase& c, std::ostream* os) { *os << c.name; }

class Documents : public testing::TestWithParam<DocumentCase> {};

TEST_P(Documents, ConvertLineByLine) {
    EXPECT_EQ(md_to_html(GetParam().markdown), GetParam().html);
    EXPECT_EQ(zendral::reference::md_to_html(GetParam().markdown), GetParam().html);
}

const auto kName = [](const testing::TestParamInfo<DocumentCase>& info) { return info.param.name; };

INSTANTIATE_TEST_SUITE_P(WorkedExamples, Documents, testing::Values(
    DocumentCase{"ListThenText", {"- a", "- b", "text"},
                 {"<ul>", "<li>a</li>", "<li>b</li>", "</ul>", "<p>text</p>"}},
    DocumentCase{"HeadingInsideList", {"- a", "# T", "- b", "text"},
                 {"<ul>", "<li>a</li>", "<h1>T</h1>", "<li>b</li>", "</ul>", "<p>text</p>"}},
    DocumentCase{"ListClosedByEnd", {"- a", "# T"}, {"<ul>", "<li>a</li>", "<h1>T</h1>", "</ul>"}},
    DocumentCase{"Mixed", {"# Title", "", "Some *text*", "- one", "- two", "", "end"},
                 {"<h1>Title</h1>", "", "<p>Some <em>text</em></p>", "<ul>", "<li>one</li>",
                  "<li>two</li>", "</ul>", "", "<p>end</p>"}},
    DocumentCase{"HeadingPrefixes",
                 {"#Title", "# ", "#", "##", "#  Two", "# Title #", "###### six", "####### x"},
                 {"<p>#Title</p>", "<h1></h1>", "<p>#</p>", "<p>##</p>", "<h1> Two</h1>",
                  "<h1>Title #</h1>", "<h6>six</h6>", "<p>####### x</p>"}},
    DocumentCase{"ListPrefixes", {"- ", "-", "-item", " - a"},
                 {"<ul>", "<li></li>", "</ul>", "<p>-</p>", "<p>-item</p>", "<p> - a</p>"}},
    DocumentCase{"TwoLists", {"- a", "text", "- b"},
                 {"<ul>", "<li>a</li>", "</ul>", "<p>text</p>", "<ul>", "<li>b</li>", "</ul>"}},
    DocumentCase{"TwoListsEmptyLine", {"- a", "", "- b"},
                 {"<ul>", "<li>a</li>", "</ul>", "", "<ul>", "<li>b</li>", "</ul>"}},
    DocumentCase{"ParagraphExemptions", {"`code` first", "**bold** first", "<p>raw</p>", "<pre>", "<hr>"},
                 {"<code>code</code> first", "<p><strong>bold</strong> first</p>", "<p>raw</p>",
                  "<p><pre></p>", "<hr>"}},
    DocumentCase{"SpansInsideBlocks", {"## **Bold** _it_", "- **a**"},
                 {"<h2><strong>Bold</strong> <em>it</em></h2>", "<ul>", "<li><strong>a</strong></li>", "</ul>"}},
    DocumentCase{"NoEscaping", {"a < b & c"}, {"<p>a < b & c</p>"}}),
    kName);

INSTANTIATE_TEST_SUITE_P(Edges, Documents, testing::Values(
    DocumentCase{"Empty", {}, {}},
    DocumentCase{"OneEmptyLine", {""}, {""}},
    DocumentCase{"EmptyLineClosesList", {"- a", ""}, {"<ul>", "<li>a</li>", "</ul>", ""}},
    DocumentCase{"SingleItem", {"- x"}, {"<ul>", "<li>x</li>", "</ul>"}},
    DocumentCase{"IndentedIsParagraph", {" # a", "\t- b"}, {"<p> # a</p>", "<p>\t- b</p>"}},
    DocumentCase{"EmptyHeadings", {"# ", "## ", "###### "}, {"<h1></h1>", "<h2></h2>", "<h6></h6>"}},
    DocumentCase{"TabIsNoHeadingSpace", {"#\tx"}, {"<p>#\tx</p>"}},
    DocumentCase{"NoNestedBlocks", {"- # T", "# - a", "- - a"},
                 {"<ul>", "<li># T</li>", "<h1>- a</h1>", "<li>- a</li>", "</ul>"}},
    DocumentCase{"RawHtml", {"<h3>x</h3>", "<html>", "<ul>", "</ul>", "<li>", "<em>x</em>", "<div>"},
                 {"<h3>x</h3>", "<html>", "<ul>", "</ul>", "<li>", "<p><em>x</em></p>", "<p><div></p>"}},
    DocumentCase{"SpanShapesAtStart", {"`c`", "*e*", "_e_", "__s__", "``"},
                 {"<code>c</code>", "<p><em>e</em></p>", "<p><em>e</em></p>",
                  "<p><strong>s</strong></p>", "<p>``</p>"}},
    DocumentCase{"LineBreakBytesStayInTheLine", {"*a\nb*", "- x\ry"}, {"<p>*a\nb*</p>", "<ul>", "<li>x\ry</li>", "</ul>"}},
    DocumentCase{"MultiByteText", {"# \xC3\xA9t\xC3\xA9", "\xE2\x82\xAC *\xC3\xA9*"},
                 {"<h1>\xC3\xA9t\xC3\xA9</h1>", "<p>\xE2\x82\xAC <em>\xC3\xA9</em></p>"}}),
    kName);

// With escape set, the text's "&", "<", ">" and '"' become entities before
// any rule runs: raw HTML is text (and so a paragraph), spans still work,
// entities already in the input are escaped again, and other bytes stay.
class EscapedDocuments : public testing::TestWithParam<DocumentCase> {};

TEST_P(EscapedDocuments, EscapeTheTextNotTheTags) {
    EXPECT_EQ(md_to_html(GetParam().markdown, {true}), GetParam().html);
}

INSTANTIATE_TEST_SUITE_P(Cases, EscapedDocuments, testing::Values(
    DocumentCase{"Text", {"a < b & c > \"d\""}, {"<p>a &lt; b &amp; c &gt; &quot;d&quot;</p>"}},
    DocumentCase{"Script", {"<script>alert(1)</script>", "<img src=x onerror=\"f()\">"},
                 {"<p>&lt;script&gt;alert(1)&lt;/script&gt;</p>", "<p>&lt;img src=x onerror=&quot;f()&quot;&gt;</p>"}},
    DocumentCase{"RawHtmlIsWrapped", {"<hr>", "<p>raw</p>", "<h3>x</h3>", "<ul>", "</ul>", "<li>", "<code>"},
                 {"<p>&lt;hr&gt;</p>", "<p>&lt;p&gt;raw&lt;/p&gt;</p>", "<p>&lt;h3&gt;x&lt;/h3&gt;</p>",
                  "<p>&lt;ul&gt;</p>", "<p>&lt;/ul&gt;</p>", "<p>&lt;li&gt;</p>", "<p>&lt;code&gt;</p>"}},
    DocumentCase{"BlocksAndSpans", {"# <T> & \"U\"", "- *a<b*", "- __&__", "`<b>` first", "x `<b>`"},
                 {"<h1>&lt;T&gt; &amp; &quot;U&quot;</h1>", "<ul>", "<li><em>a&lt;b</em></li>",
                  "<li><strong>&amp;</strong></li>", "</ul>", "<code>&lt;b&gt;</code> first",
                  "<p>x <code>&lt;b&gt;</code></p>"}},
    DocumentCase{"EntitiesEscapedAgain", {"&amp; &lt;", "&"}, {"<p>&amp;amp; &amp;lt;</p>", "<p>&amp;</p>"}},
    DocumentCase{"OtherBytesStay", {"", "'\xC3\xA9\xFF\x7F\n=\t"}, {"", "<p>'\xC3\xA9\xFF\x7F\n=\t</p>"}}),
    kName);

TEST(MarkdownDifferential, EscapingIsTheRulesOnTheEscapedText) {
    std::mt19937 random(26122026);
    for (int i = 0; i < 3000; ++i) {
        const LineList markdown = zendral::testing::random_markdown_document(random, 12);
        const LineList html = md_to_html(markdown, {true});
        ASSERT_EQ(html, zendral::reference::md_to_html(zendral::reference::html_escaped(markdown)))
            << "document: " << testing::PrintToString(markdown);
        for (const std::string& line : html) {
            ASSERT_EQ(zendral::reference::markup_not_made_by_the_converter(line), "") << line;
        }
    }
}

TEST(MarkdownDifferential, RandomDocumentsMatchTheStepByStepRules) {
    std::mt19937 random(7122026);
    for (int i = 0; i < 5000; ++i) {
        const LineList markdown = zendral::testing::random_markdown_document(random, 12);
        const LineList expected = zendral::reference::md_to_html(markdown);
        ASSERT_EQ(md_to_html(markdown), expected) << "document: " << testing::PrintToString(markdown);
    }
}

TEST(MarkdownShape, ListsOpenAndCloseAroundEveryRun) {
    // Alternating items and text: every item opens and closes its own list.
    LineList markdown, html;
    for (int i = 0; i < 100000; ++i) {
        markdown.push_back(i % 2 ? "text" : "- item");
        if (i % 2) {
            html.insert(html.end(), {"</ul>", "<p>text</p>"});
        } else {
            html.insert(html.end(), {"<ul>", "<li>item</li>"});
        }
    }
    EXPECT_EQ(md_to_html(markdown), html);
}

// A long line's result may leave in the buffer it was built in, but a line
// must not keep a buffer sized for an earlier, longer line, nor one grown by
// more than it needed (a third rule reusing the first rule's buffer).
TEST(MarkdownShape, LongLinesKeepNoMoreThanTheirOwnMemory) {
    std::string dense;
    for (int i = 0; i < 200000; ++i) dense += "*a*";
    const std::string span = "*" + std::string(70000, 'b') + "*";
    LineList html = md_to_html({dense, span, span});
    ASSERT_EQ(html.size(), 3u);
    EXPECT_EQ(html[2], "<p><em>" + std::string(70000, 'b') + "</em></p>");
    LineList three_rules = md_to_html({"**a** __b__ *c* " + std::string(100000, 'x')});
    html.push_back(std::move(three_rules.at(0)));  // moved, with its capacity
    for (const std::string& line : html) EXPECT_LE(line.capacity(), line.size() + line.size() / 32);
}

// Lines long enough that their result is handed over in the buffer it was
// built in, with the opening tag written in front of it: every block kind,
// and plain lines whose result is left unwrapped. (Too long for the
// std::regex reference, which recurses once per byte of a span.)
const std::string kLong(100000, 'b');

class LongLines : public testing::TestWithParam<DocumentCase> {};

TEST_P(LongLines, ConvertLineByLine) { EXPECT_EQ(md_to_html(GetParam().markdown), GetParam().html); }

INSTANTIATE_TEST_SUITE_P(BlockKinds, LongLines, testing::Values(
    DocumentCase{"Heading", {"### *" + kLong + "*"}, {"<h3><em>" + kLong + "</em></h3>"}},
    DocumentCase{"Item", {"- `" + kLong + "`"}, {"<ul>", "<li><code>" + kLong + "</code></li>", "</ul>"}},
    DocumentCase{"Paragraph", {"**" + kLong + "** _x_"}, {"<p><strong>" + kLong + "</strong> <em>x</em></p>"}},
    DocumentCase{"UnwrappedCode", {"`" + kLong + "`"}, {"<code>" + kLong + "</code>"}},
    DocumentCase{"UnwrappedRawTag", {"<h*" + kLong + "*"}, {"<h<em>" + kLong + "</em>"}},
    DocumentCase{"NoSpanIsCopied", {"# " + kLong}, {"<h1>" + kLong + "</h1>"}}),
    kName);

// Many short spans make a long result, written through all five
// substitutions into buffers made ready a step at a time; it must equal the
// short line's result repeated.
TEST(MarkdownShape, LongLineOfShortSpans) {
    const std::string piece = "a **b** _c_ `d` *e* __f__ ";
    const std::string html_piece = zendral::reference::render_inline_spans(piece);
    std::string line, html;
    for (int i = 0; i < 20000; ++i) {
        line += piece;
        html += html_piece;
    }
    const LineList expected{"<p>" + html + "</p>", "<ul>", "<li>" + html + "</li>", "</ul>"};
    EXPECT_EQ(md_to_html({line, "- " + line}), expected);
}

}  // namespace
