// Argument checking for the module's three calling styles, written once. Every
// message names the function by its Python name.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "fixed_string.hpp"

namespace csdk {

// Parameters of a positional-or-keyword function. The keyword names are interned
// at import (intern_signatures), never per call.
struct Signature {
    const char* function;            // Python name used in messages
    Py_ssize_t count;                // number of parameters
    Py_ssize_t required;             // the first `required` have no default
    const char* const* param_names;  // `count` names
    PyObject** keywords;             // `count` interned names, filled at import
};

// Every Signature made from the templates below registers itself here, so that the
// module can intern all keyword names once while it is imported.
std::vector<Signature*>& signature_registry();
bool intern_signature(Signature& sig);
bool intern_signatures();

// The checks below answer the common, correct call inline; anything else goes to
// the out-of-line parts, which bind keywords and raise the messages.
bool check_no_args_slow(const char* function, Py_ssize_t nargs, PyObject* kwnames);
bool check_one_arg_slow(const char* function, Py_ssize_t nargs, PyObject* kwnames);
bool parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);

// "f() takes no arguments (1 given)" / "f() takes no keyword arguments".
inline bool check_no_args(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 0 && !kwnames) [[likely]]
        return true;
    return check_no_args_slow(function, nargs, kwnames);
}

// "f() takes exactly one argument (0 given)" / "f() takes no keyword arguments".
inline bool check_one_arg(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 1 && !kwnames) [[likely]]
        return true;
    return check_one_arg_slow(function, nargs, kwnames);
}

// Binds vectorcall arguments to sig's parameters: out[i] is a borrowed reference, or
// null for an omitted parameter with a default. Returns false with TypeError set.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out) {
    if (nargs == sig.count && !kwnames) [[likely]] {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    return parse_args_slow(sig, args, nargs, kwnames, out);
}

// The same for a tuple and dict (type slots such as __init__); `self`, when given,
// is bound as the first parameter. Allocates only when keywords are passed.
bool parse_args_dict(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwds, PyObject** out);

// Compile-time parameter list of one function; the first Required parameters have no
// default. Names are interned at import.
template <FixedString Function, std::size_t Required, FixedString... Params>
struct ParamList {
    static constexpr Py_ssize_t count = sizeof...(Params);
    static constexpr const char* names[sizeof...(Params) + 1] = {Params.c_str()..., nullptr};
    static inline PyObject* keywords[sizeof...(Params) + 1] = {};
    static inline Signature signature{Function.c_str(), count, Required, names, keywords};
    static inline const bool registered = [] {
        signature_registry().push_back(&signature);
        return true;
    }();
};

// Signature text for inspect.signature ("name(a, b)\n--\n\n"), built once.
const char* text_signature(const char* function, Py_ssize_t count, const char* const* names, bool keywords,
                           const char* doc = nullptr);

}  // namespace csdk
