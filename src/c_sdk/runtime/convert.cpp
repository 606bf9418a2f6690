#include "convert.hpp"

namespace csdk {

static CachedGlobal success_value(names.CSDK_OPERATE_SUCCESS);

bool to_request_slow(PyObject* obj, RequestView* out) {
    // The generic length comes first so that objects without one fail as len() does.
    if (PyObject_Size(obj) < 0) return false;
    const char* data;
    Py_ssize_t size;
    if (PyByteArray_Check(obj)) {
        data = PyByteArray_AS_STRING(obj);
        size = PyByteArray_GET_SIZE(obj);
    } else {
        char* bytes;
        if (PyBytes_AsStringAndSize(obj, &bytes, &size) < 0) return false;
        data = bytes;
    }
    if (size > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "request of %zd bytes is too large for the library (at most %d)",
                     size, INT_MAX);
        return false;
    }
    *out = {data, static_cast<int>(size)};
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

int compare_with_success(PyObject* status_object, int status, int op) {
    Ref success = success_value.get();
    if (!success) return -1;
    if (PyLong_CheckExact(success.get())) {
        // Two exact ints compare without running any Python code.
        int overflow;
        long expected = PyLong_AsLongAndOverflow(success.get(), &overflow);
        if (!overflow) return (op == Py_EQ) == (expected == status);
    }
    Ref result = Ref::steal(PyObject_RichCompare(status_object, success.get(), op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

PyObject* response_pair(int status, const char* data, const int& length, const char* function) {
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return nullptr;
    int ok = compare_with_success(code.get(), status, Py_EQ);
    if (ok < 0) return nullptr;
    Ref response = ok ? Ref::steal(response_bytes(data, length, function)) : Ref::borrow(Py_None);
    if (!response) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair, 0, code.release());
    PyTuple_SET_ITEM(pair, 1, response.release());
    return pair;
}

}  // namespace csdk
