#include "state.hpp"

#include <frameobject.h>

#include <cstring>
#include <unordered_map>

namespace csdk {

Names names;
ModuleState state;

bool intern_names() {
#define CSDK_INTERN(id) \
    if (!names.id && !(names.id = PyUnicode_InternFromString(#id))) return false;
    CSDK_IDENTIFIERS(CSDK_INTERN)
#undef CSDK_INTERN
#define CSDK_INTERN(id, text) \
    if (!names.id && !(names.id = PyUnicode_InternFromString(text))) return false;
    CSDK_LITERALS(CSDK_INTERN)
#undef CSDK_INTERN
    return true;
}

#if PY_VERSION_HEX < 0x030C0000
bool watch_namespace() { return true; }
#else
uint64_t namespace_epoch = 1;
static int watcher_id = -1;

static int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_epoch;
    return 0;
}

bool watch_namespace() {
    ++namespace_epoch;  // a new namespace invalidates every cached lookup
    if (watcher_id < 0 && (watcher_id = PyDict_AddWatcher(on_namespace_change)) < 0) return false;
    return PyDict_Watch(watcher_id, state.globals) == 0 && PyDict_Watch(watcher_id, state.builtins) == 0;
}
#endif

Ref lookup_global(PyObject* name) {
    if (state.globals) {
        PyObject* value = PyDict_GetItemWithError(state.globals, name);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
    }
    if (state.builtins) {
        PyObject* value = PyDict_GetItemWithError(state.builtins, name);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref CachedGlobal::lookup() {
    NamespaceTag now = namespace_tag();
    Ref found = lookup_global(name_);
    value_ = found.get();
    tag_ = now;
    return found;
}

// Builds an empty code object and frame named after the function and adds it to the
// pending exception's traceback, so errors show where in the module they left.
void add_traceback(const char* function) {
    static std::unordered_map<const char*, PyObject*> code_cache;  // keyed by static text
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyCodeObject* code = nullptr;
    if (auto it = code_cache.find(function); it != code_cache.end()) {
        code = reinterpret_cast<PyCodeObject*>(it->second);
    } else if ((code = PyCode_NewEmpty("c_sdk", function, 0))) {
        code_cache.emplace(function, reinterpret_cast<PyObject*>(code));
    }
    PyFrameObject* frame = nullptr;
    if (code) {
        Ref globals = state.globals ? Ref::borrow(state.globals) : Ref::steal(PyDict_New());
        if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    }
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace csdk
