// The file entry: every line of the file converted as it is read, so that
// only the current line and the growing result are held.
#include <string>
#include <string_view>

#include "file_lines.hpp"
#include "object_text.hpp"
#include "zendral/key_value.hpp"

namespace zendral {

LineList csv_file_to_json(const std::string& path) {
    LineList objects;
    key_value::for_each_file_line(path, [&](std::string_view line) {
        objects.push_back(line_csv_to_json(line));
    });
    return objects;
}

void csv_file_to_json(const std::string& path, LineSink sink) {
    key_value::ObjectWriter object;
    key_value::for_each_file_line(path, [&](std::string_view line) { sink(object(line)); });
}

}  // namespace zendral
