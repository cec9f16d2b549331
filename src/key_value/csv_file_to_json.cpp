// The file entry: every line of the file converted as it is read, so that
// only the current line and the growing result are held.
#include <string>
#include <string_view>

#include "file_lines.hpp"
#include "object_text.hpp"
#include "zendral/key_value.hpp"

namespace zendral {
namespace {

template <bool kEscape>
LineList file_objects(const std::string& path) {
    LineList objects;
    key_value::for_each_file_line(path, [&](std::string_view line) {
        objects.push_back(key_value::object_string<kEscape>(line));
    });
    return objects;
}

template <bool kEscape>
void stream_file_objects(const std::string& path, LineSink sink) {
    key_value::BasicObjectWriter<kEscape> object;
    key_value::for_each_file_line(path, [&](std::string_view line) { sink(object(line)); });
}

}  // namespace

LineList csv_file_to_json(const std::string& path) { return file_objects<false>(path); }

LineList csv_file_to_json(const std::string& path, KeyValueOptions options) {
    return options.escape ? file_objects<true>(path) : file_objects<false>(path);
}

void csv_file_to_json(const std::string& path, LineSink sink) { stream_file_objects<false>(path, sink); }

void csv_file_to_json(const std::string& path, LineSink sink, KeyValueOptions options) {
    return options.escape ? stream_file_objects<true>(path, sink) : stream_file_objects<false>(path, sink);
}

}  // namespace zendral
