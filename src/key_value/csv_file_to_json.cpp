// The file entry: every line of the file through line_csv_to_json, streamed
// so that only the current line and the growing result are held.
#include <string>
#include <string_view>

#include "file_lines.hpp"
#include "zendral/key_value.hpp"

namespace zendral {

LineList csv_file_to_json(const std::string& path) {
    LineList objects;
    key_value::for_each_file_line(path, [&](std::string_view line) {
        objects.push_back(line_csv_to_json(line));
    });
    return objects;
}

}  // namespace zendral
