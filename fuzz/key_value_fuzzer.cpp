// The key=value converters against the plain reference in
// key_value_reference.hpp: every line of the document (see split_lines), the
// whole list at once, the input after its first byte as one line, and the
// same bytes read back as a file from an in-memory file descriptor.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_support.hpp"
#include "key_value_reference.hpp"
#include "zendral/key_value.hpp"

namespace {

using zendral::LineList;
using zendral::fuzz::fail;
using zendral::fuzz::require_equal;
namespace reference = zendral::fuzz::reference;

std::string listed(const LineList& lines) {
    std::string text;
    for (const std::string& line : lines) text += "[" + line + "]";
    return text;
}

LineList converted(const LineList& lines) {
    LineList objects;
    for (const std::string& line : lines) objects.push_back(reference::line_csv_to_json(line));
    return objects;
}

// One memfd for the whole run, rewritten for every input; the library opens
// it by name like any file.
const std::string& file_holding(const std::string& bytes) {
    static const int fd = ::memfd_create("zendral-fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        std::perror("memfd");
        std::abort();
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(zendral::fuzz::as_text(data, size));
    const LineList lines = zendral::fuzz::split_lines(input);

    for (const std::string& line : lines) {
        require_equal("line_csv_to_json", line, zendral::line_csv_to_json(line),
                      reference::line_csv_to_json(line));
    }
    const LineList objects = zendral::csv_lines_to_json(lines);
    if (objects != converted(lines)) {
        fail("csv_lines_to_json", input, listed(objects), listed(converted(lines)));
    }

    const std::string body = size ? input.substr(1) : input;
    require_equal("line_csv_to_json on the whole input", body, zendral::line_csv_to_json(body),
                  reference::line_csv_to_json(body));

    const LineList from_file = zendral::csv_file_to_json(file_holding(body));
    const LineList want = converted(reference::file_lines(body));
    if (from_file != want) fail("csv_file_to_json", body, listed(from_file), listed(want));
    return 0;
}
