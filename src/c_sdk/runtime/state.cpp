#include "state.hpp"

#include <frameobject.h>

#include <cstring>
#include <iterator>
#include <unordered_map>
#include <utility>

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

PyObject* global_name(Global which) {
    static PyObject* Names::*const members[] = {
#define CSDK_MEMBER(id) &Names::id,
        CSDK_READ_GLOBALS(CSDK_MEMBER)
#undef CSDK_MEMBER
    };
    return names.*members[static_cast<unsigned>(which)];
}

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

KnownNamespace known;

#if PY_VERSION_HEX < 0x030C0000
Ref read_global_slow(Global which) {
    // The tag is taken before the lookup, which may run a key's __eq__ and change the
    // namespace: then it no longer matches, and the remembered read is never used.
    NamespaceTag before = namespace_tag();
    Ref found = lookup_global(global_name(which));
    known.lookups[static_cast<unsigned>(which)] = {before, found.get()};
    return found;
}

bool watch_namespace() {
    known = {};
    return true;
}

void forget_namespace() { known = {}; }
#else
namespace {

int watcher_id = -1;

struct Observed {
    PyObject* dict;  // compared by address only
    DictObserver observer;
};
Observed observed[8];
std::size_t observed_count = 0;

int on_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    for (std::size_t i = 0; i < observed_count; ++i) {
        if (observed[i].dict != dict) continue;
        observed[i].observer(event, dict, key, new_value);
        if (event == PyDict_EVENT_DEALLOCATED) observed[i] = observed[--observed_count];
        break;
    }
    return 0;
}

}  // namespace

bool observe_dict(PyObject* dict, DictObserver observer) {
    if (watcher_id < 0 && (watcher_id = PyDict_AddWatcher(on_dict_change)) < 0) return false;
    std::size_t at = 0;
    while (at < observed_count && observed[at].dict != dict) ++at;
    if (at == observed_count) {
        if (observed_count == std::size(observed)) {
            PyErr_SetString(PyExc_SystemError, "c_sdk: too many watched dicts");
            return false;
        }
        ++observed_count;
    }
    observed[at] = {dict, observer};
    return PyDict_Watch(watcher_id, dict) == 0;
}

void release_held(PyObject* obj) {
    // A watched value is held by its dict until the announced change is stored, so this
    // cannot free it. Where the dict no longer holds it (after a nested rebinding inside
    // another watcher, which the interpreter itself mishandles) it is kept instead.
    if (obj && Py_REFCNT(obj) > 1) Py_DECREF(obj);
}

Py_ssize_t index_of_name(PyObject* key, PyObject* const* names_, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (names_[i] == key) return static_cast<Py_ssize_t>(i);
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    for (std::size_t i = 0; i < count; ++i) {
        // Both exact strs: the comparison runs no Python code.
        if (PyUnicode_GET_LENGTH(names_[i]) == length && PyUnicode_Compare(names_[i], key) == 0)
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

namespace {

// What the read globals are bound to in one namespace dict, as of the last change the
// watcher was told of. Not known while the dict may hold a key other than an exact str
// (whose __eq__ could make it stand for one of the names) until the dict is cleared;
// meanwhile every read goes to the dicts.
struct Bindings {
    PyObject* held[global_count] = {};  // strong; null: unbound there
    bool known = false;

    void set(std::size_t index, PyObject* value) {
        release_held(std::exchange(held[index], Py_XNewRef(value)));
    }
    void forget() {
        for (std::size_t i = 0; i < global_count; ++i) set(i, nullptr);
        known = false;
    }
    // Reads every name from `dict` when all its keys are exact strs (the lookups then
    // run no Python code); else not known.
    void load(PyObject* dict) {
        forget();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key)) return;
        for (std::size_t i = 0; i < global_count; ++i) {
            PyObject* found = PyDict_GetItemWithError(dict, global_name(static_cast<Global>(i)));
            if (!found && PyErr_Occurred()) {
                PyErr_Clear();
                forget();
                return;
            }
            set(i, found);
        }
        known = true;
    }
};

Bindings module_bindings, builtin_bindings;
PyObject* read_names[global_count];

// Derives what the hot paths read from the bindings.
void resolve() {
    for (std::size_t i = 0; i < global_count; ++i) {
        PyObject* value = nullptr;
        if (module_bindings.known) {
            value = module_bindings.held[i];
            if (!value && builtin_bindings.known) value = builtin_bindings.held[i];
        }
        known.value[i] = value;
    }
    PyObject* success = known.value[static_cast<unsigned>(Global::CSDK_OPERATE_SUCCESS)];
    known.success_known = false;
    if (success && PyLong_CheckExact(success)) {
        int overflow;
        long value = PyLong_AsLongAndOverflow(success, &overflow);  // an exact int: cannot fail
        if (!overflow) {
            known.success = value;
            known.success_known = true;
        }
    }
    PyObject* py2 = known.value[static_cast<unsigned>(Global::IS_PY2)];
    known.receiver =
        py2 == Py_True || py2 == Py_False ? known.value[static_cast<unsigned>(Global::f)] : nullptr;
    known.legacy = py2 == Py_True;
}

// Told before each change of a namespace dict, with what it is about to hold. A
// rebinding of the same name made by other code while a later watcher runs, before the
// first change is stored, cannot be ordered by anyone: the value held may then stay the
// one announced last until the name is bound again (stale, never freed).
void on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    if (dict != state.globals && dict != state.builtins) return;
    Bindings& bindings = dict == state.globals ? module_bindings : builtin_bindings;
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (!PyUnicode_CheckExact(key)) {
                bindings.forget();
            } else if (bindings.known) {
                Py_ssize_t index = index_of_name(key, read_names, global_count);
                if (index < 0) return;
                bindings.set(static_cast<std::size_t>(index),
                             event == PyDict_EVENT_DELETED ? nullptr : new_value);
            }
            break;
        case PyDict_EVENT_CLEARED:  // empty afterwards
            bindings.forget();
            bindings.known = true;
            break;
        case PyDict_EVENT_CLONED:  // becomes a copy of the dict passed as the key
            if (PyDict_CheckExact(key))
                bindings.load(key);
            else
                bindings.forget();
            break;
        default:  // deallocated, or an event this code does not know
            bindings.forget();
            break;
    }
    resolve();
}

}  // namespace

bool watch_namespace() {
    for (std::size_t i = 0; i < global_count; ++i) read_names[i] = global_name(static_cast<Global>(i));
    module_bindings.load(state.globals);
    builtin_bindings.load(state.builtins);
    resolve();
    return observe_dict(state.globals, on_namespace_change) &&
           observe_dict(state.builtins, on_namespace_change);
}

void forget_namespace() {
    PyObject* pending = PyErr_GetRaisedException();  // the initialisation's error
    for (PyObject* dict : {state.globals, state.builtins}) {
        if (!dict) continue;
        for (std::size_t i = 0; i < observed_count; ++i) {
            if (observed[i].dict == dict) observed[i--] = observed[--observed_count];
        }
        if (PyDict_Unwatch(watcher_id, dict) < 0) PyErr_Clear();
    }
    module_bindings.forget();
    builtin_bindings.forget();
    resolve();
    PyErr_SetRaisedException(pending);
}
#endif

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
