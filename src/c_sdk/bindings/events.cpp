// The event bridge: one Python callable, kept as the module global `f`, receives
// every library event through the native trampoline registered with the library.
#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

// Reports a dropped event on stderr without touching any Python object: used where
// the library broke its contract and Python must not be entered.
[[gnu::cold]] void report_dropped(const char* why) {
    char line[256];
    int n = snprintf(line, sizeof line, "c_sdk: dropped a library event: %s\n", why);
    if (n > 0) {
        ssize_t written =
            write(STDERR_FILENO, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
        (void)written;
    }
}

// Prints the pending exception twice: through sys.excepthook with sys.last_* set,
// then as unraisable with the trampoline as context. Nothing reaches the library.
[[gnu::cold]] void report_event_error() {
    add_traceback("c_sdk.callback_wrapper");
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_XNewRef(exc));
    PyErr_PrintEx(1);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // Normalised once, so that both reports show the same exception object.
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(1);
    PyErr_Restore(type, value, tb);
#endif
    PyErr_WriteUnraisable(names.callback_context);
}

// True when this thread holds the interpreter lock of the module's interpreter.
// From 3.12 the current thread state is kept per thread and is null while the
// thread does not hold the lock; before that it is process-wide (the state of
// whichever thread holds the lock), so it must also be this thread's.
// (PyGILState_Check answers true whenever its checking is disabled.)
inline bool holds_interpreter_lock() {
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* current = PyThreadState_GetUnchecked();
#else
    PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
#if PY_VERSION_HEX >= 0x030C0000
    return current && current->interp == state.interpreter;
#else
    // A thread's id is its pthread_self() (what PyThread_get_thread_ident returns).
    return current && current->interp == state.interpreter &&
           current->thread_id == static_cast<unsigned long>(pthread_self());
#endif
}

// The event text as the receiver gets it: bytes when `legacy`, else str (decoded
// strictly from UTF-8; the empty text is the shared empty str).
inline Ref event_text(const char* text, Py_ssize_t size, bool legacy) {
    if (legacy) return Ref::steal(PyBytes_FromStringAndSize(text, size));
    if (size == 0) return Ref::borrow(state.empty_str);
    return Ref::steal(PyUnicode_DecodeUTF8(text, size, "strict"));
}

inline Ref event_payload(const char* payload, int length) {
    return Ref::steal(PyBytes_FromStringAndSize(payload ? payload : "", static_cast<Py_ssize_t>(length)));
}

inline bool call_with(PyObject* callable, PyObject* text, PyObject* data) {
    PyObject* args[] = {text, data};
    Ref result = Ref::steal(PyObject_Vectorcall(callable, args, 2, nullptr));
    return static_cast<bool>(result);
}

// The steps in their order: IS_PY2 and its truth, the text, `f`, then the payload, each
// lookup raising its own NameError. The lookups may run Python code (a key's __eq__ in
// a namespace dict), and so may the truth test of an IS_PY2 that is not a bool; that
// code may call the library and end the life of the event's buffers, so both are copied
// first (a negative length is refused at its turn, reading nothing).
[[gnu::noinline]] bool deliver_slow(const char* text, const char* payload, int length) {
    NamespaceTag before = namespace_tag();
    Ref raw_text = Ref::steal(PyBytes_FromString(text));
    if (!raw_text) return false;
    Ref data;
    if (length >= 0 && !(data = event_payload(payload, length))) return false;
    Ref py2 = read_global(Global::IS_PY2);
    if (!py2) return false;
    bool exact_bool = py2.get() == Py_False || py2.get() == Py_True;
    int legacy = exact_bool ? py2.get() == Py_True : PyObject_IsTrue(py2.get());
    if (legacy < 0) return false;
    Ref decoded =
        legacy ? std::move(raw_text)
               : event_text(PyBytes_AS_STRING(raw_text.get()), PyBytes_GET_SIZE(raw_text.get()), false);
    if (!decoded) return false;
    Ref callable = read_global(Global::f);  // held for the whole call: `f` may be rebound inside
    if (!callable) return false;
    if (!data && !(data = event_payload(nullptr, length))) return false;
    // An exact bool's truth test runs no Python code: remembered unless a lookup
    // changed the namespace meanwhile.
    if (exact_bool) remember_receiver(before, py2.get(), callable.get());
    return call_with(callable.get(), decoded.get(), data.get());
}

inline bool deliver(const char* text, const char* payload, int length) {
    bool legacy;
    if (PyObject* receiver = known_receiver(&legacy)) [[likely]] {
        Ref callable = Ref::borrow(receiver);  // `f` may be rebound inside
        Ref decoded = event_text(text, static_cast<Py_ssize_t>(strlen(text)), legacy);
        if (!decoded) return false;
        Ref data = event_payload(payload, length);
        return data && call_with(callable.get(), decoded.get(), data.get());
    }
    return deliver_slow(text, payload, length);
}

// Called by the library for each event, on the thread that is inside qxi_run or
// qxi_poll through this module (and so holds the interpreter lock).
extern "C" void callback_wrapper(const char* text, const char* payload, int payload_len) {
    if (!holds_interpreter_lock()) [[unlikely]]
        return report_dropped("delivered on a thread without the interpreter lock");
    if (!state.globals) [[unlikely]]
        return report_dropped("the module is not initialised");
    if (!text) [[unlikely]]
        return report_dropped("null event text");
    if (!payload && payload_len > 0) [[unlikely]]
        return report_dropped("null payload with a positive length");
    if (!deliver(text, payload, payload_len)) [[unlikely]]
        report_event_error();
}

PyObject* set_data_callback(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr const char* where = "c_sdk.py_qxi_set_data_callback";
    if (!check_one_arg("py_qxi_set_data_callback", PyVectorcall_NARGS(nargsf), kwnames))
        return fail_in(where);
    // Stored before registering, so an event raised during registration finds it.
    if (PyDict_SetItem(state.globals, names.f, args[0]) < 0) return fail_in(where);
    qxi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

const char* set_data_callback_signature() { return "py_qxi_set_data_callback(pythonf, /)\n--\n\n"; }

constexpr Binding table[] = {
    {"py_qxi_set_data_callback", set_data_callback, false, set_data_callback_signature},
};

}  // namespace

std::span<const Binding> event_bindings() { return table; }

}  // namespace csdk
