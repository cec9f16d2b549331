// The HTML5 page around a Markdown document's lines (DocumentOptions::page).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "converter.hpp"

namespace zendral::document::page {

// The text of the first heading line among the lines of data[0, size) that
// an LF ends, and of the bytes after the last LF when `final` says they are
// a line too. `known`: the bytes before it hold no LF. `end`, when given, is
// set to the offset after the last line looked at.
std::optional<std::string> first_heading(std::string_view data, bool final, std::size_t known = 0,
                                         std::size_t* end = nullptr);

// The title when the document has no heading: the option, then the base
// name of the source's path (empty for none), else "Untitled".
std::string fallback_title(const DocumentOptions& options, std::string_view source_path);

void write_header(Output& out, std::string_view title, const DocumentOptions& options);
void write_footer(Output& out);

}  // namespace zendral::document::page
