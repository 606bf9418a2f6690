// Conversions between Python objects and the library's C arguments and results,
// shared by every binding family.
#pragma once

#include <Python.h>

#include <climits>

#include "state.hpp"

namespace csdk {

// A bytearray's storage held for the library: an export, exactly what bytearray's own
// buffer slot records (its export count and a reference), released when the
// conversion's storage goes out of scope after the call. Python code run meanwhile (a
// later conversion, the comparison with the success value) cannot resize or free the
// storage: the attempt raises BufferError. Done inline rather than through the
// buffer protocol: no view to fill, and a subclass's own buffer method cannot put
// other memory in place of the bytearray's storage.
class HeldByteArray {
public:
    HeldByteArray() noexcept {}
    HeldByteArray(const HeldByteArray&) = delete;
    HeldByteArray& operator=(const HeldByteArray&) = delete;
    ~HeldByteArray() {
        if (owner_) [[unlikely]] {
            --reinterpret_cast<PyByteArrayObject*>(owner_)->ob_exports;
            Py_DECREF(owner_);
        }
    }
    // Exports `obj` (a bytearray or subclass); returns its storage, never null (a static
    // empty string when empty).
    const char* hold(PyObject* obj) {
        ++reinterpret_cast<PyByteArrayObject*>(obj)->ob_exports;
        owner_ = Py_NewRef(obj);
        return PyByteArray_AS_STRING(obj);
    }

private:
    PyObject* owner_ = nullptr;  // set while the export is held
};

// Byte text: the storage of a bytes or bytearray object (or subclass) as a
// NUL-terminated string, valid while the conversion's storage lives (a bytearray is
// held exported until then). Any other type raises the TypeError of the bytes accessor.
class TextArg {
public:
    TextArg() noexcept {}
    bool convert(PyObject* obj) {
        if (PyBytes_CheckExact(obj)) [[likely]] {
            text_ = PyBytes_AS_STRING(obj);
            return true;
        }
        return convert_slow(obj);
    }
    // The same, except that an exact str (known to be ASCII-only) is taken as its
    // ASCII bytes: its own storage, NUL-terminated, alive while the str is.
    bool convert_ascii(PyObject* obj) {
        if (PyUnicode_CheckExact(obj)) {
            text_ = static_cast<const char*>(PyUnicode_DATA(obj));
            return true;
        }
        return convert(obj);
    }
    const char* text() const { return text_; }

private:
    bool convert_slow(PyObject* obj);
    const char* text_;
    HeldByteArray held_;
};

// Serialised request: pointer to the object's own bytes and their count. The
// generic length is taken first (it may raise), but the library is always given
// the real byte count, which must fit its int length. A bytearray stays exported
// until the conversion's storage goes out of scope.
class RequestArg {
public:
    RequestArg() noexcept {}
    bool convert(PyObject* obj) {
        if (PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) <= INT_MAX) [[likely]] {
            data_ = PyBytes_AS_STRING(obj);
            length_ = static_cast<int>(PyBytes_GET_SIZE(obj));
            return true;
        }
        return convert_slow(obj);
    }
    // The same, except that an exact str (known to be ASCII-only) is taken as its
    // ASCII bytes: its own storage and length, refused as those bytes would be.
    bool convert_ascii(PyObject* obj) {
        if (PyUnicode_CheckExact(obj) && PyUnicode_GET_LENGTH(obj) <= INT_MAX) {
            data_ = static_cast<const char*>(PyUnicode_DATA(obj));
            length_ = static_cast<int>(PyUnicode_GET_LENGTH(obj));
            return true;
        }
        return PyUnicode_CheckExact(obj) ? too_large(PyUnicode_GET_LENGTH(obj)) : convert(obj);
    }
    const char* data() const { return data_; }
    int length() const { return length_; }

private:
    static bool too_large(Py_ssize_t size);
    bool convert_slow(PyObject* obj);
    const char* data_;
    int length_;
    HeldByteArray held_;
};

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

// The library leaves its response (or stored text) valid only until its next call.
// The results below compare the status with the success value first and copy only
// on success; when the success value is an exact int that comparison runs in C and
// nothing can run in between. Any other success value may run Python code in its
// comparison (a library call, a thread switch), so the response is copied before it
// and the copy dropped when the status is not a success.

// (status, copy of the response) when the status equals the success value, else
// (status, None). A response the library broke (null with a positive length, or a
// negative length, which is also what an unwritten length preset to -1 reads as)
// raises SystemError on success only.
PyObject* response_pair(int status, const char* data, int length, const char* function);

// Copy of the stored text unless the status differs from the success value (by !=),
// else None.
PyObject* text_if_success(int status, const char* text, const char* function);

}  // namespace csdk
