// key=value lines to flat JSON object texts.
//
// Nothing is trimmed or validated, and nothing is escaped unless
// `KeyValueOptions::escape` is set: by default a key or value that holds a
// double quote, a backslash or a control byte is copied as it is, so the
// object text is valid JSON only when the input avoids those bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "zendral/byte_buffer.hpp"
#include "zendral/line_list.hpp"
#include "zendral/line_stream.hpp"

namespace zendral {

struct KeyValueOptions {
    // Keys and values written as JSON string contents: '"' as \", '\\' as
    // \\, the bytes 0x08, 0x0C, 0x0A, 0x0D and 0x09 as \b, \f, \n, \r and \t,
    // the other bytes 0x00 to 0x1F as \u00xx (lower-case hex, as Python's
    // json.dumps writes them). Every other byte, 0x7F and bytes from 0x80 up
    // included, is copied. Splitting, dropped fields, duplicate keys and order
    // are as without escaping, so a line of valid UTF-8 gives valid JSON whose
    // members are exactly the line's pairs.
    bool escape = false;
};

// `a=1,b=2` -> `{"a": "1", "b": "2"}`. Fields without "=" are dropped;
// a line without pairs gives `{}`.
std::string line_csv_to_json(std::string_view line);
std::string line_csv_to_json(std::string_view line, KeyValueOptions options);

// Element i of the result is line_csv_to_json(lines[i]). Takes the list by
// value and converts it in place, so a moved-in list costs no extra vector.
LineList csv_lines_to_json(LineList lines);
LineList csv_lines_to_json(LineList lines, KeyValueOptions options);

// The same, streamed: object text i goes to `sink` as a view valid only
// during that call. No memory is allocated per line.
void csv_lines_to_json(LineViews lines, LineSink sink);
void csv_lines_to_json(LineViews lines, LineSink sink, KeyValueOptions options);

// The same, each object text and an LF appended to `out`: for a caller that
// keeps the bytes (the block engine), with no call and no copy per line.
void csv_lines_to_json(LineViews lines, ByteBuffer& out, KeyValueOptions options = {});

// The same for the lines of a file; lines end at LF only, and a final line
// without LF still counts. Throws std::invalid_argument("embedded null byte")
// for a path holding NUL, std::runtime_error("Could not open file: " + path)
// or std::runtime_error("Could not read file: " + path).
LineList csv_file_to_json(const std::string& path);
LineList csv_file_to_json(const std::string& path, KeyValueOptions options);

// The same, streamed: each line is converted as soon as it is read and its
// object text goes to `sink`; only one line is held at a time. Throws as
// above before the first line is read, or if reading fails later (after
// the lines before the failure went to the sink).
void csv_file_to_json(const std::string& path, LineSink sink);
void csv_file_to_json(const std::string& path, LineSink sink, KeyValueOptions options);

// The object text of one line, laid out but not yet written: its exact size
// first, then its bytes written wherever the caller keeps them (straight into
// a string object of that size, say). It is line_csv_to_json(line, options).
// Holds a view of the line, which must outlive it.
class ObjectText {
public:
    explicit ObjectText(std::string_view line, KeyValueOptions options = {});
    ObjectText(const ObjectText&) = delete;
    ObjectText& operator=(const ObjectText&) = delete;

    std::size_t size() const noexcept { return size_; }
    // Writes the size() bytes of the text to `out`.
    void write(char* out) const;

    // Room for the converter's layout of a line, which stays private.
    static constexpr std::size_t kLayoutBytes = 1024;

private:
    alignas(alignof(std::max_align_t)) unsigned char layout_[kLayoutBytes];
    std::size_t size_;
    bool escape_;
};

// The lines of the file at `path` as csv_file_to_json reads them, each to
// `on_line` as a view valid only during that call: for a caller that
// converts them its own way (with ObjectText, say). Throws as
// csv_file_to_json does.
void csv_file_lines(const std::string& path, LineSink on_line);

}  // namespace zendral
