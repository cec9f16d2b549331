// The zendral module's boundary as pybind11 sees it: casters for a line-list
// argument read in place (Lines), and a result list of new str (StrList), over
// python_text.hpp. Only the module's own unit and the
// benchmarks' floor include it.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include <pybind11/pybind11.h>

#include "python_text.hpp"

namespace zendral::bindings {

// Runs `work`, giving a Python error that the support layer raised to
// pybind11 as its own.
template <class Work>
decltype(auto) pybind11_errors(Work&& work) {
    try {
        return work();
    } catch (const PythonError&) {
        throw pybind11::error_already_set();
    }
}

}  // namespace zendral::bindings

namespace pybind11::detail {

template <>
struct type_caster<zendral::bindings::Lines> {
    PYBIND11_TYPE_CASTER(zendral::bindings::Lines, const_name("List[str]"));
    bool load(handle source, bool) {
        return source && zendral::bindings::pybind11_errors([&] { return value.load(source.ptr()); });
    }
};

template <>
struct type_caster<zendral::bindings::StrList> {
    PYBIND11_TYPE_CASTER(zendral::bindings::StrList, const_name("List[str]"));
    static handle cast(zendral::bindings::StrList&& lines, return_value_policy, handle) { return lines.release(); }
};

}  // namespace pybind11::detail
