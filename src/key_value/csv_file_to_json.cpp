// The file entry: every line of the file through the pair-line conversion,
// streamed so that only the current line and the growing result are held.
#include <string>
#include <string_view>

#include "file_lines.hpp"
#include "pair_list.hpp"
#include "zendral/key_value.hpp"

namespace zendral {

LineList csv_file_to_json(const std::string& path) {
    LineList objects;
    key_value::PairList pairs;
    key_value::for_each_file_line(path, [&](std::string_view line) {
        key_value::collect_pairs(line, pairs);
        objects.push_back(key_value::object_text(pairs));
    });
    return objects;
}

}  // namespace zendral
