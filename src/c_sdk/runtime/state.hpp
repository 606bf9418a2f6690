// Process-wide state of the module: interned names, the namespace it reads its
// globals from, cached global lookups and traceback entries for raised errors.
#pragma once

#include <Python.h>

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

// Version of the namespace the module reads globals from (its dict, then builtins).
// Any rebinding in either dict changes it, so a cached lookup is revalidated by
// comparing tags.
struct NamespaceTag {
    uint64_t globals = 0;
    uint64_t builtins = 0;
    bool operator==(const NamespaceTag&) const = default;
};

#if PY_VERSION_HEX < 0x030C0000
// Every change of a dict gives it a new, interpreter-wide unique version tag.
inline uint64_t dict_version(PyObject* dict) {
    return dict ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
}

inline NamespaceTag namespace_tag() { return {dict_version(state.globals), dict_version(state.builtins)}; }
#else
// The dict version is no longer public: a dict watcher bumps this epoch instead.
extern uint64_t namespace_epoch;

inline NamespaceTag namespace_tag() { return {namespace_epoch, 0}; }
#endif

// Starts tracking changes of the namespace dicts (needed where the interpreter has
// no public dict version).
bool watch_namespace();

// A module-global lookup cached against the namespace tag: module dict first, then
// builtins, else NameError. A rebinding from Python is seen by the next call. The
// cached reference is borrowed: while the tag is unchanged the dict that holds the
// binding is unchanged, so the value is alive, and nothing is kept alive that the
// namespace itself no longer holds.
class CachedGlobal {
public:
    explicit constexpr CachedGlobal(PyObject* const& name) : name_(name) {}
    // New reference, or null with NameError (or the lookup's error) set.
    Ref get() {
        if (value_ && tag_ == namespace_tag()) return Ref::borrow(value_);
        return lookup();
    }

private:
    Ref lookup();
    PyObject* const& name_;
    PyObject* value_ = nullptr;  // borrowed from the namespace, valid while tag_ matches
    NamespaceTag tag_{};
};

// Looks a global up without caching (used where the lookup happens once).
Ref lookup_global(PyObject* name);

// Adds a traceback entry named `function` to the pending exception.
void add_traceback(const char* function);

// Adds the entry and returns null: `return fail_in("c_sdk.x");`
inline PyObject* fail_in(const char* function) {
    add_traceback(function);
    return nullptr;
}

}  // namespace csdk
