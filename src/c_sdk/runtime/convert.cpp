#include "convert.hpp"

namespace csdk {

[[gnu::cold]] static bool raise_too_large(Py_ssize_t size) {
    PyErr_Format(PyExc_OverflowError, "request of %zd bytes is too large for the library (at most %d)", size,
                 INT_MAX);
    return false;
}

bool RequestArg::too_large(Py_ssize_t size) { return raise_too_large(size); }

bool TextArg::convert_slow(PyObject* obj) {
    if (PyByteArray_Check(obj)) {
        text_ = held_.hold(obj);
        return true;
    }
    return (text_ = PyBytes_AsString(obj)) != nullptr;
}

bool RequestArg::convert_slow(PyObject* obj) {
    // The generic length comes first so that objects without one fail as len() does.
    if (PyObject_Size(obj) < 0) return false;
    const char* data;
    Py_ssize_t size;
    if (PyByteArray_Check(obj)) {
        size = PyByteArray_GET_SIZE(obj);
        if (size > INT_MAX) return raise_too_large(size);
        data = held_.hold(obj);
    } else {
        char* bytes;
        if (PyBytes_AsStringAndSize(obj, &bytes, &size) < 0) return false;
        if (size > INT_MAX) return raise_too_large(size);
        data = bytes;
    }
    data_ = data;
    length_ = static_cast<int>(size);
    return true;
}

// Result of __int__ when it is not an exact int: a strict subclass is accepted with
// a DeprecationWarning, anything else is refused.
static PyObject* check_int_result(PyObject* result) {
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

bool to_int32_slow(PyObject* obj, int* out) {
    Ref number;
    if (PyLong_Check(obj)) {
        number = Ref::borrow(obj);
    } else {
        PyNumberMethods* methods = Py_TYPE(obj)->tp_as_number;
        if (methods && methods->nb_int) number = Ref::steal(methods->nb_int(obj));
        if (!number) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        if (!PyLong_CheckExact(number.get()) && !(number = Ref::steal(check_int_result(number.release()))))
            return false;
    }
    long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

PyObject* text_result(const char* text, const char* function) {
    if (!text) {
        PyErr_Format(PyExc_SystemError, "%s: the library returned a null text", function);
        return nullptr;
    }
    return PyBytes_FromString(text);
}

PyObject* response_bytes(const char* data, int length, const char* function) {
    if (!data && length > 0) {
        PyErr_Format(PyExc_SystemError, "%s: the library returned a null response of %d bytes", function,
                     length);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(data ? data : "", length);
}

// The success value as a C long when it is an exact int that fits: the status is then
// compared without running any Python code.
static inline bool exact_success(PyObject* success, long* expected) {
    if (!PyLong_CheckExact(success)) return false;
    int overflow;
    *expected = PyLong_AsLongAndOverflow(success, &overflow);
    return !overflow;
}

// Compares the status with the success value by == (or != when `op` is Py_NE) and
// takes the truth of the result: 1 true, 0 false, -1 error. May run any Python code.
static int compare_with_success(PyObject* status_object, PyObject* success, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(status_object, success, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

static PyObject* make_pair(Ref code, Ref response) {
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair, 0, code.release());
    PyTuple_SET_ITEM(pair, 1, response.release());
    return pair;
}

// The comparison may run Python code: the response is copied before it when it is
// well formed; a broken one is reported only once the status turns out a success.
[[gnu::cold]] static PyObject* response_pair_guarded(PyObject* success, int status, const char* data,
                                                     int length, const char* function) {
    bool well_formed = length >= 0 && (data || length == 0);
    Ref copy;
    if (well_formed && !(copy = Ref::steal(PyBytes_FromStringAndSize(data ? data : "", length))))
        return nullptr;
    data = nullptr;  // may be freed from here on: only the copy is used
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return nullptr;
    int ok = compare_with_success(code.get(), success, Py_EQ);
    if (ok < 0) return nullptr;
    if (!ok) return make_pair(std::move(code), Ref::borrow(Py_None));
    if (!well_formed) return response_bytes(nullptr, length, function);  // raises SystemError
    return make_pair(std::move(code), std::move(copy));
}

[[gnu::noinline]] static bool success_as_long_slow(long* expected, Ref* other) {
    NamespaceTag before = namespace_tag();
    Ref success = read_global(Global::CSDK_OPERATE_SUCCESS);
    if (success && exact_success(success.get(), expected)) {
        remember_success(before, *expected);
        return true;
    }
    *other = std::move(success);
    return false;
}

// The success value: true with `expected` set when it is an exact int that fits,
// false with `other` holding it (or null with an exception set) otherwise.
static inline bool success_as_long(long* expected, Ref* other) {
    if (known_success(expected)) [[likely]]
        return true;
    return success_as_long_slow(expected, other);
}

PyObject* response_pair(int status, const char* data, int length, const char* function) {
    long expected;
    if (Ref success; !success_as_long(&expected, &success)) [[unlikely]]
        return success ? response_pair_guarded(success.get(), status, data, length, function) : nullptr;
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return nullptr;
    Ref response =
        status == expected ? Ref::steal(response_bytes(data, length, function)) : Ref::borrow(Py_None);
    if (!response) return nullptr;
    return make_pair(std::move(code), std::move(response));
}

[[gnu::cold]] static PyObject* text_if_success_guarded(PyObject* success, int status, const char* text,
                                                       const char* function) {
    Ref copy = text ? Ref::steal(PyBytes_FromString(text)) : Ref();
    if (text && !copy) return nullptr;
    text = nullptr;  // may be freed from here on: only the copy is used
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return nullptr;
    int failed = compare_with_success(code.get(), success, Py_NE);  // this binding tests with !=
    if (failed < 0) return nullptr;
    if (failed) Py_RETURN_NONE;
    if (!copy) return text_result(nullptr, function);  // raises SystemError
    return copy.release();
}

PyObject* text_if_success(int status, const char* text, const char* function) {
    long expected;
    if (Ref success; !success_as_long(&expected, &success)) [[unlikely]]
        return success ? text_if_success_guarded(success.get(), status, text, function) : nullptr;
    if (status != expected) Py_RETURN_NONE;
    return text_result(text, function);
}

}  // namespace csdk
