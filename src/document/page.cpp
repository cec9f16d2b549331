#include "page.hpp"

#include <cstdint>

#include "../common/escape.hpp"
#include "../common/line_reader.hpp"
#include "zendral/utf8.hpp"

namespace zendral::document::page {
namespace {

constexpr std::size_t kMaxHeadingLevel = 6;

// The text after "#" to "######" and a space, or nothing for another line:
// the converter's heading rule.
std::optional<std::string_view> heading_text(std::string_view line) {
    std::size_t level = 0;
    while (level < line.size() && level <= kMaxHeadingLevel && line[level] == '#') ++level;
    if (level < 1 || level > kMaxHeadingLevel || level >= line.size() || line[level] != ' ') return std::nullopt;
    return line.substr(level + 1);
}

// Text for an element or a quoted attribute: & < > " as entities, and each
// byte that starts no UTF-8 sequence as U+FFFD, so that the page stays UTF-8
// whatever a file's name holds.
std::string attribute_text(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t c = 0;
        const std::size_t length = utf8::sequence(p, i, text.size(), c);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (length == 1 && escape::Html::has(p[i])) {
            out += escape::Html::entity(p[i]);
        } else {
            out.append(text.data() + i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace

std::optional<std::string> first_heading(std::string_view data, bool final, std::size_t known, std::size_t* end) {
    std::optional<std::string_view> found;
    const auto look = [&](std::string_view line) {
        if (!found) found = heading_text(line);
    };
    std::size_t after = lines::each_line(data, 0, ~std::size_t{0}, look, known);
    if (final && after < data.size()) {
        look(data.substr(after));
        after = data.size();
    }
    if (end) *end = after;
    if (!found) return std::nullopt;
    return std::string(*found);
}

std::string fallback_title(const DocumentOptions& options, std::string_view source_path) {
    if (options.title) return *options.title;
    const std::size_t slash = source_path.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? source_path : source_path.substr(slash + 1);
    return base.empty() ? "Untitled" : std::string(base);
}

void write_header(Output& out, std::string_view title, const DocumentOptions& options) {
    out.line("<!doctype html>");
    out.line("<html>");
    out.line("<head>");
    out.line("<meta charset=\"utf-8\">");
    out.line("<title>" + attribute_text(title) + "</title>");
    if (options.css) out.line("<link rel=\"stylesheet\" href=\"" + attribute_text(*options.css) + "\">");
    out.line("</head>");
    out.line("<body>");
}

void write_footer(Output& out) {
    out.line("</body>");
    out.line("</html>");
}

}  // namespace zendral::document::page
