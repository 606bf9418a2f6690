// Library functions exposed under their own names as callables holding the
// function pointer.
#pragma once

#include <Python.h>

#include <span>

namespace csdk {

struct DirectFunction {
    const char* name;
    PyObject* (*create)();  // new reference, or null with an exception
};

// In the order the module binds them.
std::span<const DirectFunction> direct_functions();

}  // namespace csdk
