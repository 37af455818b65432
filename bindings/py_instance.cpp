#include "py_instance.hpp"

#include <string>

#include "error_text.hpp"

namespace zarn {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([type]() -> PyObject* {
        std::string name = "<unknown>";
        if (PyRef text = PyRef::steal(PyType_GetName(type))) {
            name = lossy_str(text.get()).value_or(name);
        } else {
            discard_error();
        }
        raise_with_message(PyExc_TypeError, "No constructor defined for " + name);
        return nullptr;
    });
}

}  // namespace zarn
