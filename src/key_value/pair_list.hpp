// The two halves of line_csv_to_json, for callers that convert many lines and
// keep one pair list for all of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zendral/key_value.hpp"

namespace zendral::key_value {

// The pairs of one line, in field order; the views point into the line.
using PairList = std::vector<KeyValuePair>;

// Replaces the contents of `pairs` with the pairs of `line`.
void collect_pairs(std::string_view line, PairList& pairs);

// `{"k": "v", ...}` for the pairs, `{}` for none; nothing is escaped.
std::string object_text(const PairList& pairs);

}  // namespace zendral::key_value
