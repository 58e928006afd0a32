// The __repr__ of the read-only value records (statistics, host times):
// TypeName(name=value, ...) over the properties the record's class defines,
// in the order they were defined, so the text always names the fields the
// class has.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace Quorvan::python {

inline pybind11::str propertiesRepr(const pybind11::object& self) {
    const pybind11::handle type = pybind11::type::handle_of(self);
    const pybind11::handle property_type(reinterpret_cast<PyObject*>(&PyProperty_Type));
    pybind11::list fields;
    // The class's own namespace (a read-only mapping view), in definition order.
    for (const pybind11::handle entry : type.attr("__dict__").attr("items")()) {
        const pybind11::tuple item = pybind11::reinterpret_borrow<pybind11::tuple>(entry);
        const std::string name = pybind11::str(item[0]);
        if (name.empty() || name[0] == '_' || !pybind11::isinstance(item[1], property_type))
            continue;
        fields.append(pybind11::str("{}={}").format(name, pybind11::repr(self.attr(name.c_str()))));
    }
    return pybind11::str("{}({})").format(type.attr("__name__"),
                                          pybind11::str(", ").attr("join")(fields));
}

}  // namespace Quorvan::python
