// LineList: the value type every zendral converter takes and returns.
#pragma once

#include <string>
#include <vector>

namespace zendral {

// One text line per element, without its line terminator. Lines are byte
// strings: any byte, LF, CR and NUL included, is ordinary data.
using LineList = std::vector<std::string>;

}  // namespace zendral
