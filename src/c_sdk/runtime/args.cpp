#include "args.hpp"

#include <deque>
#include <string>

namespace csdk {

std::vector<Signature*>& signature_registry() {
    static std::vector<Signature*> registry;
    return registry;
}

bool intern_signature(Signature& sig) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (!sig.keywords[i] && !(sig.keywords[i] = PyUnicode_InternFromString(sig.param_names[i])))
            return false;
    }
    return true;
}

bool intern_signatures() {
    for (Signature* sig : signature_registry()) {
        if (!intern_signature(*sig)) return false;
    }
    return true;
}

static bool no_keywords(const char* function, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
        return false;
    }
    return true;
}

bool check_no_args_slow(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords(function, kwnames)) return false;
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", function, nargs);
        return false;
    }
    return true;
}

bool check_one_arg_slow(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords(function, kwnames)) return false;
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", function, nargs);
        return false;
    }
    return true;
}

[[gnu::cold]] static bool raise_count(const Signature& sig, Py_ssize_t given) {
    bool exact = sig.required == sig.count;
    Py_ssize_t expected = given < sig.required ? sig.required : sig.count;
    const char* bound = exact ? "exactly" : given < sig.required ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.function,
                 bound, expected, expected == 1 ? "" : "s", given);
    return false;
}

// Index of the parameter called `key`, or -1. Interned names match by identity;
// other equal strings by comparison.
static Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (sig.keywords[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_Compare(sig.keywords[i], key) == 0) return i;
    }
    return -1;
}

[[gnu::cold]] static bool bind_keywords(const Signature& sig, PyObject* const* kwvalues, Py_ssize_t nargs,
                                        PyObject* kwnames, PyObject** out) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    // Parameters not given by position are taken from the keywords, in order; a
    // missing required one is reported with the count bound before it.
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < sig.count; ++i) {
        out[i] = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (key == sig.keywords[i] ||
                (PyUnicode_Check(key) && PyUnicode_Compare(key, sig.keywords[i]) == 0)) {
                out[i] = kwvalues[k];
                ++used;
                break;
            }
        }
        if (!out[i] && i < sig.required) return raise_count(sig, i);
    }
    if (used == nkw) return true;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function);
            return false;
        }
        Py_ssize_t index = find_param(sig, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.function,
                         key);
            return false;
        }
    }
    return true;
}

bool parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
    if (nargs > sig.count) return raise_count(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        return bind_keywords(sig, args + nargs, nargs, kwnames, out);
    if (nargs < sig.required) return raise_count(sig, nargs);
    for (Py_ssize_t i = nargs; i < sig.count; ++i) out[i] = nullptr;
    return true;
}

bool parse_args_dict(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwds, PyObject** out) {
    Py_ssize_t offset = self ? 1 : 0;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args) + offset;
    if (nargs > sig.count) return raise_count(sig, nargs);
    PyObject* stack[16];
    if (sig.count > 16) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return false;
    }
    if (self) stack[0] = self;
    for (Py_ssize_t i = offset; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i - offset);
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return parse_args(sig, stack, nargs, nullptr, out);

    // Keyword form: lay the values out after the positional ones, as vectorcall does.
    Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
    PyObject* kwnames = PyTuple_New(nkw);
    if (!kwnames) return false;
    std::vector<PyObject*> all(stack, stack + nargs);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames, k++, key);
        all.push_back(value);
    }
    bool ok = parse_args(sig, all.data(), nargs, kwnames, out);
    // The values stay alive through kwds, which the caller holds.
    Py_DECREF(kwnames);
    return ok;
}

const char* text_signature(const char* function, Py_ssize_t count, const char* const* names, bool keywords,
                           const char* doc) {
    static std::deque<std::string> texts;  // stable addresses for PyMethodDef.ml_doc
    std::string text = std::string(function) + "(";
    for (Py_ssize_t i = 0; i < count; ++i) text += std::string(i ? ", " : "") + names[i];
    if (!keywords && count > 0) text += ", /";
    text += ")\n--\n\n";
    if (doc) text += doc;
    texts.push_back(std::move(text));
    return texts.back().c_str();
}

}  // namespace csdk
