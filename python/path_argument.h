// A file path argument as the camera takes it: str, bytes, bytearray or None
// (which reaches the camera as a null path). Unlike a plain `const char*`
// conversion it keeps the whole text, so a path with an embedded NUL can be
// refused instead of silently naming the file before the NUL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace Quorvan::python {

struct PathArgument {
    std::string text;
    bool is_none = false;

    // Null for None; raises ValueError, as Python's own file functions do,
    // for a path that holds a NUL character.
    const char* c_str() const {
        if (is_none)
            return nullptr;
        if (text.find('\0') != std::string::npos)
            throw pybind11::value_error("embedded null byte");
        return text.c_str();
    }
};

}  // namespace Quorvan::python

namespace pybind11::detail {

template <>
struct type_caster<Quorvan::python::PathArgument> {
    PYBIND11_TYPE_CASTER(Quorvan::python::PathArgument, const_name("str"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value.is_none = true;
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(source, convert))
            return false;
        value.text = cast_op<std::string&&>(std::move(text));
        return true;
    }
};

}  // namespace pybind11::detail
