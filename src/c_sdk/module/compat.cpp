// Platform tests and the decorator that lets text parameters take ASCII str.
#include <array>
#include <vector>

#include "helpers.hpp"

namespace csdk {
namespace {

// platform.uname()[0].lower() == system, the comparison's own result.
PyObject* system_is(PyObject* system) {
    Ref platform = read_global(Global::platform);
    if (!platform) return nullptr;
    Ref uname = Ref::steal(PyObject_CallMethodNoArgs(platform.get(), names.uname));
    if (!uname) return nullptr;
    // uname()[0]: a subscript, so any object with __getitem__ answers.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref name = Ref::steal(PyObject_GetItem(uname.get(), zero.get()));
    if (!name) return nullptr;
    Ref lower = Ref::steal(PyObject_CallMethodNoArgs(name.get(), names.lower));
    if (!lower) return nullptr;
    return PyObject_RichCompare(lower.get(), system, Py_EQ);
}

PyObject* is_windows(PyObject*, PyObject* const*, Py_ssize_t nargsf, PyObject* kwnames) {
    if (!check_no_args("is_windows", PyVectorcall_NARGS(nargsf), kwnames)) return fail_in("c_sdk.is_windows");
    PyObject* result = system_is(names.windows);
    return result ? result : fail_in("c_sdk.is_windows");
}

PyObject* is_linux(PyObject*, PyObject* const*, Py_ssize_t nargsf, PyObject* kwnames) {
    if (!check_no_args("is_linux", PyVectorcall_NARGS(nargsf), kwnames)) return fail_in("c_sdk.is_linux");
    PyObject* result = system_is(names.linux_);
    return result ? result : fail_in("c_sdk.is_linux");
}

// A builtin of the bindings' calling convention (METH_FASTCALL | METH_KEYWORDS).
using FastImpl = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The decorator's closure: holds the decorated function. Its type's qualified name
// is "adapt_to_python3.<locals>", so the wrapper function bound to it reports the
// qualified name "adapt_to_python3.<locals>.wrapper", as a nested function would.
struct Closure {
    PyObject_HEAD PyObject* func;
    // When func is one of the module's row-made bindings: its entry point for ASCII str
    // arguments (Binding::ascii_impl). func's method definition never changes.
    FastImpl ascii_impl;
};

// The ASCII entry point of the binding that `func` is, or null.
FastImpl ascii_entry(PyObject* func) {
    if (!Py_IS_TYPE(func, &PyCFunction_Type) ||
        PyCFunction_GET_FLAGS(func) != (METH_FASTCALL | METH_KEYWORDS))
        return nullptr;
    auto impl = reinterpret_cast<FastImpl>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(func)));
    for (auto family : {request_bindings(), session_bindings(), market_bindings(), timer_bindings(),
                        trading_bindings(), event_bindings()}) {
        for (const Binding& binding : family)
            if (binding.impl == impl) return binding.ascii_impl;
    }
    return nullptr;
}

PyObject* closure_type = nullptr;  // created once per process

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Closure*>(self)->func);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int closure_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Closure*>(self)->func);
    return 0;
}

void closure_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    closure_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot closure_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(closure_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(closure_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(closure_dealloc)},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long closure_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long closure_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#endif

PyType_Spec closure_spec = {"c_sdk.adapt_to_python3_closure", sizeof(Closure), 0, closure_flags,
                            closure_slots};

// A str argument becomes its ASCII bytes, by its own encode method for subclasses.
PyObject* encode_ascii(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return PyUnicode_AsASCIIString(text);
    return PyObject_CallMethodOneArg(text, names.encode, names.ascii);
}

// The decorated function, called with vectorcall arguments. One of the module's own
// bindings (`own`: it has an ASCII entry point) is entered directly; anything else,
// another module's builtin included, through the interpreter's call.
inline PyObject* call_function(PyObject* func, bool own, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    if (own) {
        auto fn = reinterpret_cast<FastImpl>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(func)));
        return fn(PyCFunction_GET_SELF(func), args, nargs, kwnames);
    }
    return PyObject_Vectorcall(func, args, nargs, kwnames);
}

// Truth of IS_PY2 (1, 0, or -1 with an exception); an exact bool needs no call, and
// False, known to be bound, not even a reference.
inline int legacy_flag() {
    if (known_to_be(Global::IS_PY2, Py_False)) [[likely]]
        return 0;
    Ref py2 = read_global(Global::IS_PY2);
    if (!py2) return -1;
    if (py2.get() == Py_False) return 0;
    if (py2.get() == Py_True) return 1;
    return PyObject_IsTrue(py2.get());
}

[[gnu::noinline]] PyObject* call_encoded(PyObject* func, bool own, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::array<PyObject*, 16> small;
    std::vector<PyObject*> large;
    PyObject** encoded = small.data();
    if (total > static_cast<Py_ssize_t>(small.size())) {
        large.resize(total);
        encoded = large.data();
    }
    Py_ssize_t done = 0;
    PyObject* result = nullptr;
    for (; done < total; ++done) {
        PyObject* arg = args[done];
        encoded[done] = PyUnicode_Check(arg) ? encode_ascii(arg) : Py_NewRef(arg);
        if (!encoded[done]) break;
    }
    if (done == total) result = call_function(func, own, encoded, nargs, kwnames);
    for (Py_ssize_t i = 0; i < done; ++i) Py_DECREF(encoded[i]);
    return result;
}

// wrapper(*args, **kwargs): encodes every top-level str argument as ASCII (unless
// IS_PY2 is true) and calls the decorated function. Arguments pass through
// untouched, without any allocation, when none of them is a str.
PyObject* wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr const char* where = "c_sdk.adapt_to_python3.wrapper";
    PyObject* func = reinterpret_cast<Closure*>(self)->func;
    if (!func) [[unlikely]] {
        // Only while the garbage collector takes apart a cycle holding the wrapper.
        PyErr_SetString(PyExc_RuntimeError, "wrapper() called after its function was released");
        return fail_in(where);
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    FastImpl ascii_impl = reinterpret_cast<Closure*>(self)->ascii_impl;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_SetString(PyExc_TypeError, "wrapper() keywords must be strings");
            return fail_in(where);
        }
    }
    int legacy = legacy_flag();
    if (legacy < 0) return fail_in(where);

    Ref keep_func = Ref::borrow(func);  // the closure may lose it while func runs
    PyObject* result = nullptr;
    bool any_text = false, all_ascii = true;
    if (!legacy) {
        for (Py_ssize_t i = 0; i < nargs + nkw; ++i) {
            if (PyUnicode_Check(args[i])) {
                any_text = true;
                if (!is_ascii_str(args[i])) {
                    all_ascii = false;  // encoded; the other arguments need no look
                    break;
                }
            }
        }
    }
    if (!any_text)
        result = call_function(func, ascii_impl != nullptr, args, nargs, kwnames);
    else if (ascii_impl && all_ascii)
        result = ascii_impl(PyCFunction_GET_SELF(func), args, nargs, kwnames);  // no bytes made
    else
        result = call_encoded(func, ascii_impl != nullptr, args, nargs, kwnames);
    return result ? result : fail_in(where);
}

PyMethodDef wrapper_def = {"wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper)),
                           METH_FASTCALL | METH_KEYWORDS, "wrapper($self, /, *args, **kwargs)\n--\n\n"};

PyObject* adapt_to_python3(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    if (!check_one_arg("adapt_to_python3", PyVectorcall_NARGS(nargsf), kwnames))
        return fail_in("c_sdk.adapt_to_python3");
    Ref closure = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(closure_type), 0));
    if (!closure) return fail_in("c_sdk.adapt_to_python3");
    reinterpret_cast<Closure*>(closure.get())->func = Py_NewRef(args[0]);
    reinterpret_cast<Closure*>(closure.get())->ascii_impl = ascii_entry(args[0]);
    PyObject* result = PyCFunction_NewEx(&wrapper_def, closure.get(), names.c_sdk);
    return result ? result : fail_in("c_sdk.adapt_to_python3");
}

const char* no_args_signature_windows() { return "is_windows()\n--\n\n"; }
const char* no_args_signature_linux() { return "is_linux()\n--\n\n"; }
const char* adapt_signature() {
    return "adapt_to_python3(func, /)\n--\n\n"
           "\n     让编译后的模块同时支持python3和python2\n     ";
}

constexpr Binding table[] = {
    {"is_windows", is_windows, false, no_args_signature_windows},
    {"is_linux", is_linux, false, no_args_signature_linux},
    {"adapt_to_python3", adapt_to_python3, false, adapt_signature},
};

}  // namespace

bool init_compat() {
    if (closure_type) return true;
    Ref type = Ref::steal(PyType_FromSpec(&closure_spec));
    if (!type) return false;
    Ref qualname = Ref::steal(PyUnicode_FromString("adapt_to_python3.<locals>"));
    if (!qualname || PyObject_SetAttr(type.get(), names.__qualname__, qualname.get()) < 0) return false;
    closure_type = type.release();
    return true;
}

std::span<const Binding> compat_bindings() { return table; }

}  // namespace csdk
