// Process-wide state of the module: interned names, the namespace it reads its
// globals from, cached global lookups and traceback entries for raised errors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "ref.hpp"

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}
#endif

namespace csdk {

// clang-format off
// Identifiers used by the module's functions, interned once at import.
#define CSDK_IDENTIFIERS(X)                                                                  \
    X(CSDK_OPERATE_SUCCESS) X(IS_PY2) X(IS_PY3) X(qxsdklogger) X(platform) X(functools)      \
    X(py_qxi_strerror) X(f) X(adapt_to_python3) X(decode) X(encode) X(debug) X(uname)        \
    X(lower) X(get) X(data) X(__str__) X(__repr__) X(__slots__) X(__module__)                \
    X(__qualname__) X(__test__) X(__setattr__) X(__name__) X(__doc__) X(object) X(property)  \
    X(super) X(format) X(__iter__)

// Other text literals, interned once at import: (field, text).
#define CSDK_LITERALS(X)                                                                     \
    X(utf8, "utf8") X(ascii, "ascii") X(windows, "windows") X(linux_, "linux")               \
    X(c_sdk, "c_sdk") X(sys_modules_key, "c_sdk") X(qx_constant, "qx.constant")              \
    X(qx_utils, "qx.utils") X(callback_context, "c_sdk.callback_wrapper")                    \
    X(fail_named, "invoke c fun={} error code={}, error info={}")                            \
    X(fail_unnamed, "invoke c fun error code={}, error info={}")
// clang-format on

struct Names {
#define CSDK_FIELD(id) PyObject* id = nullptr;
    CSDK_IDENTIFIERS(CSDK_FIELD)
#undef CSDK_FIELD
#define CSDK_FIELD(id, text) PyObject* id = nullptr;
    CSDK_LITERALS(CSDK_FIELD)
#undef CSDK_FIELD
};

extern Names names;

// Creates every interned name once; returns false with an exception set.
bool intern_names();

struct ModuleState {
    PyInterpreterState* interpreter = nullptr;  // first interpreter that created us; never cleared
    PyObject* module = nullptr;                 // strong; dropped only when initialisation fails
    PyObject* globals = nullptr;                // strong; the module's dict
    PyObject* builtins = nullptr;               // strong; the builtins module's dict
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* builtin_object = nullptr;
    PyObject* builtin_property = nullptr;
    PyObject* builtin_super = nullptr;
};

extern ModuleState state;

// The globals the module's own code reads (module dict first, then builtins).
// clang-format off
#define CSDK_READ_GLOBALS(X) \
    X(CSDK_OPERATE_SUCCESS) X(IS_PY2) X(f) X(py_qxi_strerror) X(qxsdklogger) X(platform)
// clang-format on

enum class Global : unsigned {
#define CSDK_ENUM(id) id,
    CSDK_READ_GLOBALS(CSDK_ENUM)
#undef CSDK_ENUM
};

#define CSDK_COUNT(id) +1
inline constexpr std::size_t global_count = 0 CSDK_READ_GLOBALS(CSDK_COUNT);
#undef CSDK_COUNT

// The interned name of a read global.
PyObject* global_name(Global which);

// Looks a global up without caching: module dict, then builtins, else NameError.
Ref lookup_global(PyObject* name);

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 every change of a dict gives it a new version tag, taken from one
// interpreter-wide 64-bit counter after the change is made and never handed out
// again. A lookup remembered with the tags of both namespace dicts is therefore the
// dict's current value, alive in it, for exactly as long as both tags are unchanged.
struct NamespaceTag {
    uint64_t globals = 0;
    uint64_t builtins = 0;
    bool operator==(const NamespaceTag&) const = default;
};

inline uint64_t dict_version(PyObject* dict) {
    return dict ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
}

inline NamespaceTag namespace_tag() { return {dict_version(state.globals), dict_version(state.builtins)}; }

// Remembered reads, each borrowed from the namespace and valid while its tag holds.
struct KnownNamespace {
    struct Lookup {
        NamespaceTag tag{};
        PyObject* value = nullptr;
    };
    Lookup lookups[global_count];
    NamespaceTag success_tag{};  // CSDK_OPERATE_SUCCESS was this exact int that fits a long
    long success = 0;
    bool success_known = false;
    NamespaceTag event_tag{};  // f and IS_PY2 (an exact bool) as an event read them
    PyObject* receiver = nullptr;
    bool legacy = false;
};
extern KnownNamespace known;

Ref read_global_slow(Global which);

// New reference to the global's value, or null with NameError (or the lookup's error).
inline Ref read_global(Global which) {
    const KnownNamespace::Lookup& lookup = known.lookups[static_cast<unsigned>(which)];
    if (lookup.value && lookup.tag == namespace_tag()) return Ref::borrow(lookup.value);
    return read_global_slow(which);
}

// Whether the global is known to be bound to `object` itself: a comparison of
// addresses, with no reference taken; false also while it is not known.
inline bool known_to_be(Global which, PyObject* object) {
    const KnownNamespace::Lookup& lookup = known.lookups[static_cast<unsigned>(which)];
    return lookup.value == object && lookup.tag == namespace_tag();
}

// True with `*value` set while CSDK_OPERATE_SUCCESS is known to be an exact int that
// fits a C long.
inline bool known_success(long* value) {
    if (!known.success_known || known.success_tag != namespace_tag()) return false;
    *value = known.success;
    return true;
}

// Remembers the success value read under `before`, if the namespace is still unchanged.
inline void remember_success(const NamespaceTag& before, long value) {
    if (namespace_tag() == before) {
        known.success_tag = before;
        known.success = value;
        known.success_known = true;
    }
}

// The event receiver `f` (borrowed) with `*legacy` set from IS_PY2, while both are
// known and IS_PY2 is an exact bool; else null.
inline PyObject* known_receiver(bool* legacy) {
    if (!known.receiver || known.event_tag != namespace_tag()) return nullptr;
    *legacy = known.legacy;
    return known.receiver;
}

// Remembers the receiver and the exact bool IS_PY2 read under `before`, if the
// namespace is still unchanged.
inline void remember_receiver(const NamespaceTag& before, PyObject* py2, PyObject* receiver) {
    if (namespace_tag() == before) {
        known.event_tag = before;
        known.receiver = receiver;
        known.legacy = py2 == Py_True;
    }
}
#else
// From 3.12 a dict watcher is told of each change *before* it is made, and code run by
// other watchers in between may read the dict. So the watcher itself records what
// each read global is about to be bound to, holding it, and derives what the hot paths
// need; nothing is filled from a later read of the dict. The values below are borrowed
// from those held references, so they stay alive whatever the dicts do.
struct NamespaceTag {
    bool operator==(const NamespaceTag&) const = default;
};
inline NamespaceTag namespace_tag() { return {}; }

struct KnownNamespace {
    PyObject* value[global_count] = {};  // null: unbound, or not known (then the dicts are read)
    long success = 0;
    bool success_known = false;    // CSDK_OPERATE_SUCCESS is an exact int that fits a long
    bool legacy = false;           // IS_PY2 is True
    PyObject* receiver = nullptr;  // f, while IS_PY2 is an exact bool
};
extern KnownNamespace known;

inline Ref read_global(Global which) {
    if (PyObject* value = known.value[static_cast<unsigned>(which)]) [[likely]]
        return Ref::borrow(value);
    return lookup_global(global_name(which));
}

inline bool known_to_be(Global which, PyObject* object) {
    return known.value[static_cast<unsigned>(which)] == object;
}

inline bool known_success(long* value) {
    if (!known.success_known) return false;
    *value = known.success;
    return true;
}
inline void remember_success(const NamespaceTag&, long) {}

inline PyObject* known_receiver(bool* legacy) {
    *legacy = known.legacy;
    return known.receiver;
}
inline void remember_receiver(const NamespaceTag&, PyObject*, PyObject*) {}

// Dict watching shared by the module's caches: one watcher, and per watched dict the
// function told of its changes (with the watcher's arguments). Such a function may
// inspect the dict but must run no Python code: it drops references with
// release_held().
using DictObserver = void (*)(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value);
bool observe_dict(PyObject* dict, DictObserver observer);

// Drops a reference taken from a watched dict's value, inside the watcher, where no
// destructor may run: never the last one.
void release_held(PyObject* obj);

// Index of the exact str `key` among `names` (interned exact strs), by value; -1 if
// it is none of them.
Py_ssize_t index_of_name(PyObject* key, PyObject* const* names, std::size_t count);
#endif

// Starts following the namespace dicts (state.globals, state.builtins): after they are
// set and the names interned.
bool watch_namespace();
// Lets go of everything remembered about the namespace (initialisation failed).
void forget_namespace();

// Adds a traceback entry named `function` to the pending exception.
void add_traceback(const char* function);

// Adds the entry and returns null: `return fail_in("c_sdk.x");`
inline PyObject* fail_in(const char* function) {
    add_traceback(function);
    return nullptr;
}

}  // namespace csdk
