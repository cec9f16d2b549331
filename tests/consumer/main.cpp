// A C++ program using zendral as a library; check.cmake builds it.
#include <iostream>

#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

int main() {
    for (const std::string& line : zendral::md_to_html({"# Hi", "- **x**"})) std::cout << line << '\n';
    std::cout << zendral::line_csv_to_json("a=1,b") << '\n';
}
