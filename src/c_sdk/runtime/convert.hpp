// Conversions between Python objects and the library's C arguments and results,
// shared by every binding family.
#pragma once

#include <Python.h>

#include <climits>

#include "state.hpp"

namespace csdk {

// Byte text: the storage of a bytes or bytearray object (or subclass) as a
// NUL-terminated string, valid while the object lives. Any other type raises the
// TypeError of the bytes accessor.
inline bool to_text(PyObject* obj, const char** out) {
    if (PyBytes_CheckExact(obj)) {
        *out = PyBytes_AS_STRING(obj);
        return true;
    }
    if (PyByteArray_Check(obj)) {
        *out = PyByteArray_AS_STRING(obj);  // a static empty string when empty, never null
        return true;
    }
    return (*out = PyBytes_AsString(obj)) != nullptr;
}

// Serialised request: pointer to the object's own bytes and their count. The
// generic length is taken first (it may raise), but the library is always given
// the real byte count, which must fit its int length.
struct RequestView {
    const char* data = nullptr;
    int length = 0;
};

bool to_request_slow(PyObject* obj, RequestView* out);

inline bool to_request(PyObject* obj, RequestView* out) {
    if (PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) <= INT_MAX) {
        *out = {PyBytes_AS_STRING(obj), static_cast<int>(PyBytes_GET_SIZE(obj))};
        return true;
    }
    return to_request_slow(obj, out);
}

// Signed 32-bit integer: int and bool directly, anything else through __int__ (a
// float truncates). Errors: "an integer is required", a wrong __int__ result type,
// OverflowError outside the 32-bit range.
bool to_int32_slow(PyObject* obj, int* out);

inline bool to_int32(PyObject* obj, int* out) {
    if (PyLong_CheckExact(obj)) {
        int overflow;
        long value = PyLong_AsLongAndOverflow(obj, &overflow);
        if (!overflow && value >= INT_MIN && value <= INT_MAX) {
            *out = static_cast<int>(value);
            return true;
        }
    }
    return to_int32_slow(obj, out);
}

// Real number: the interpreter's float conversion.
inline bool to_real(PyObject* obj, double* out) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

// Flag: the object's truth value; a raising truth test propagates.
inline bool to_flag(PyObject* obj, bool* out) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
}

// A copy of a library text, or SystemError naming the function when the library
// broke its contract and returned none.
PyObject* text_result(const char* text, const char* function);

// A copy of `length` bytes of a library response. A null buffer with a positive
// length is refused; a negative length raises the interpreter's SystemError.
PyObject* response_bytes(const char* data, int length, const char* function);

// Compares the library status (as the Python int already made of it, and as the C
// value) with the success value by == (or != when `op` is Py_NE) and takes the
// truth of the result: 1 true, 0 false, -1 error.
int compare_with_success(PyObject* status_object, int status, int op);

// (status, copy of the response) when the status equals the success value,
// else (status, None) without reading the response.
PyObject* response_pair(int status, const char* data, const int& length, const char* function);

}  // namespace csdk
