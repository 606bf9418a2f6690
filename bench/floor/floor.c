/* The floor for the benchmarks: the same work as the module's hot paths, written by
 * hand with nothing around it, against the same library. Built on demand by
 * bench/floor/build.py; never part of the package.
 *
 *   get_dividends(req)       one request in, (status, bytes) out; success is an exact int
 *   set_receiver(f)          registers trampoline() with the library; f gets (str, bytes)
 *   Record(d).price          a getter: d.get("price") on a dict by a fixed key
 *   copy_fresh(src, count)   malloc + memcpy + free of `count` bytes of a buffer
 *   copy_warm(src, count)    memcpy into a buffer kept from the previous call (no page faults)
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdlib.h>
#include <string.h>

#include "qxsdk.h"

static PyObject* success;  /* exact int 0, compared as the module compares it */
static PyObject* receiver; /* the event receiver */
static PyObject* price_key;

static PyObject* get_dividends(PyObject* self, PyObject* req) {
    (void)self;
    if (!PyBytes_CheckExact(req)) {
        PyErr_SetString(PyExc_TypeError, "bytes expected");
        return NULL;
    }
    char* response = NULL;
    int length = 0;
    int status = qxi_get_dividends(PyBytes_AS_STRING(req), (int)PyBytes_GET_SIZE(req), &response, &length);
    PyObject* code = PyLong_FromLong(status);
    if (!code) return NULL;
    PyObject* data;
    if (PyLong_AsLong(success) == status) {
        data = PyBytes_FromStringAndSize(response, length);
        if (!data) {
            Py_DECREF(code);
            return NULL;
        }
    } else {
        data = Py_None;
        Py_INCREF(data);
    }
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
        Py_DECREF(code);
        Py_DECREF(data);
        return NULL;
    }
    PyTuple_SET_ITEM(pair, 0, code);
    PyTuple_SET_ITEM(pair, 1, data);
    return pair;
}

static void trampoline(const char* text, const char* payload, int length) {
    PyObject* args[2];
    args[0] = PyUnicode_DecodeUTF8(text, (Py_ssize_t)strlen(text), "strict");
    if (!args[0]) goto error;
    args[1] = PyBytes_FromStringAndSize(payload, length);
    if (!args[1]) {
        Py_DECREF(args[0]);
        goto error;
    }
    PyObject* result = PyObject_Vectorcall(receiver, args, 2, NULL);
    Py_DECREF(args[0]);
    Py_DECREF(args[1]);
    if (!result) goto error;
    Py_DECREF(result);
    return;
error:
    PyErr_WriteUnraisable(receiver);
}

static PyObject* set_receiver(PyObject* self, PyObject* f) {
    (void)self;
    Py_INCREF(f);
    Py_XSETREF(receiver, f);
    qxi_set_event_callback_pb(trampoline);
    Py_RETURN_NONE;
}

static PyObject* copy_fresh(PyObject* self, PyObject* args) {
    (void)self;
    Py_buffer source;
    Py_ssize_t count;
    if (!PyArg_ParseTuple(args, "y*n", &source, &count)) return NULL;
    if (count > source.len) count = source.len;
    char* copy = malloc((size_t)count);
    if (!copy) {
        PyBuffer_Release(&source);
        return PyErr_NoMemory();
    }
    memcpy(copy, source.buf, (size_t)count);
    /* Read one byte back so the copy cannot be optimised away. */
    int last = count ? copy[count - 1] : 0;
    free(copy);
    PyBuffer_Release(&source);
    return PyLong_FromLong(last);
}

static PyObject* copy_warm(PyObject* self, PyObject* args) {
    static char* warm = NULL;
    static Py_ssize_t warm_size = 0;
    (void)self;
    Py_buffer source;
    Py_ssize_t count;
    if (!PyArg_ParseTuple(args, "y*n", &source, &count)) return NULL;
    if (count > source.len) count = source.len;
    if (count > warm_size) {
        free(warm);
        warm = malloc((size_t)count);
        if (!warm) {
            warm_size = 0;
            PyBuffer_Release(&source);
            return PyErr_NoMemory();
        }
        memset(warm, 0, (size_t)count);
        warm_size = count;
    }
    memcpy(warm, source.buf, (size_t)count);
    int last = count ? warm[count - 1] : 0;
    PyBuffer_Release(&source);
    return PyLong_FromLong(last);
}

typedef struct {
    PyObject_HEAD PyObject* data;
} Record;

static int record_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* data;
    (void)kwds;
    if (!PyArg_ParseTuple(args, "O", &data)) return -1;
    Py_INCREF(data);
    Py_XSETREF(((Record*)self)->data, data);
    return 0;
}

static void record_dealloc(PyObject* self) {
    Py_CLEAR(((Record*)self)->data);
    Py_TYPE(self)->tp_free(self);
}

static PyObject* record_price(PyObject* self, void* closure) {
    (void)closure;
    PyObject* value = PyDict_GetItemWithError(((Record*)self)->data, price_key);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred()) return NULL;
    Py_RETURN_NONE;
}

static PyGetSetDef record_getset[] = {
    {"price", record_price, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject RecordType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "qxfloor.Record",
    .tp_basicsize = sizeof(Record),
    .tp_dealloc = record_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_getset = record_getset,
    .tp_init = record_init,
    .tp_new = PyType_GenericNew,
};

static PyMethodDef methods[] = {
    {"get_dividends", get_dividends, METH_O, NULL},
    {"set_receiver", set_receiver, METH_O, NULL},
    {"copy_fresh", copy_fresh, METH_VARARGS, NULL},
    {"copy_warm", copy_warm, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "qxfloor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_qxfloor(void) {
    if (PyType_Ready(&RecordType) < 0) return NULL;
    success = PyLong_FromLong(0);
    price_key = PyUnicode_InternFromString("price");
    if (!success || !price_key) return NULL;
    PyObject* m = PyModule_Create(&module);
    if (!m) return NULL;
    Py_INCREF(&RecordType);
    if (PyModule_AddObject(m, "Record", (PyObject*)&RecordType) < 0) return NULL;
    return m;
}
