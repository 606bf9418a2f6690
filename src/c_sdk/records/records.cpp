// Record classes. Each is a native heap type with one object field, `data`, whose
// slots read and write the storage directly, and whose class namespace holds the
// same methods and properties an equivalent Python class would: `__slots__`, the
// protocol methods as function objects, then the properties. Python subclasses get
// the interpreter's generic slot dispatchers, which call those function objects.
//
// The native slots serve instances of the record class itself. Every protocol
// method is also reachable through the class (`TickLikeDict2.__getitem__(obj, k)`)
// with any object as `self`: for a record the slot is read directly, for anything
// else `self.data` is looked up as ordinary attribute access would.
#include "records.hpp"

#include <Python.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "../runtime/args.hpp"
#include "../runtime/fixed_string.hpp"
#include "../runtime/ref.hpp"
#include "../runtime/state.hpp"

namespace csdk {
namespace {

// Before 3.13 the interpreter refuses object's own __setattr__/__delattr__ (which
// subclasses reach for `del`, and `object.__setattr__(record, ...)` calls) on an
// instance whose class has a native setattro slot. There the class keeps the
// interpreter's dispatcher for attribute assignment, which calls the class's
// __setattr__ function; from 3.13 on the native slot is used.
constexpr bool native_setattro = PY_VERSION_HEX >= 0x030D0000;

struct Record {
    PyObject ob_base;
    PyObject* data;  // strong; null until __init__ runs or after `del record.data`
};

inline PyObject*& slot_of(PyObject* self) { return reinterpret_cast<Record*>(self)->data; }

// ---- Storage access -------------------------------------------------------------

[[gnu::cold]] void raise_empty(PyObject* self) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'data'", Py_TYPE(self)->tp_name);
}

// The storage of an instance of the record class, or null with the empty-slot error.
// A strong reference, held for the whole operation: the storage's own code (a key's
// __eq__ run by the dict lookup, a `get` method) may rebind the record's `data`.
inline Ref slot_storage(PyObject* self) {
    PyObject* storage = slot_of(self);
    if (!storage) [[unlikely]]
        raise_empty(self);
    return Ref::borrow(storage);
}

// The storage of `self` as a method of class `cls` sees it: the slot of a record,
// otherwise the attribute `data` of whatever object the method was called with.
Ref storage_of(PyObject* cls, PyObject* self) {
    if (PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cls))) [[likely]]
        return slot_storage(self);
    return Ref::steal(PyObject_GetAttr(self, names.data));
}

// Storage that is not an exact dict runs its own code, which may be another record
// (a record storing itself, or two storing each other): each step is counted by the
// interpreter's recursion guard, so such a chain ends in RecursionError.
class StorageGuard {
public:
    StorageGuard() : entered_(Py_EnterRecursiveCall(" while using a record's storage") == 0) {}
    StorageGuard(const StorageGuard&) = delete;
    StorageGuard& operator=(const StorageGuard&) = delete;
    ~StorageGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    explicit operator bool() const { return entered_; }

private:
    bool entered_;
};

[[gnu::noinline]] PyObject* storage_get_method(PyObject* storage, PyObject* key) {
    StorageGuard guard;
    return guard ? PyObject_CallMethodOneArg(storage, names.get, key) : nullptr;
}

// storage.get(key). An exact dict answers without the method call: same result.
[[gnu::always_inline]] inline PyObject* storage_get(PyObject* storage, PyObject* key) {
    if (PyDict_CheckExact(storage)) [[likely]] {
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* value;
        int found = PyDict_GetItemRef(storage, key, &value);
        if (found > 0) return value;
        if (found < 0) return nullptr;
        Py_RETURN_NONE;
#else
        PyObject* value = PyDict_GetItemWithError(storage, key);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
#endif
    }
    return storage_get_method(storage, key);
}

// The interpreters whose headers export the dict lookup by a hash the caller already
// knows (declared in every supported version's cpython/dictobject.h). A newer one uses
// the public lookup until its headers are checked.
#if PY_VERSION_HEX < 0x03100000
#define CSDK_KNOWN_HASH_LOOKUP 1
#endif

// storage_get for a property's key: an interned exact str whose hash the class's
// creation computed. An exact dict is searched with that hash, which skips the key's
// type and hash checks; the result is the same. The value found is borrowed and taken
// at once, with nothing run in between.
[[gnu::always_inline]] inline PyObject* storage_get_property(PyObject* storage, PyObject* key,
                                                             [[maybe_unused]] Py_hash_t hash) {
#ifdef CSDK_KNOWN_HASH_LOOKUP
    if (PyDict_CheckExact(storage)) [[likely]] {
        PyObject* value = _PyDict_GetItem_KnownHash(storage, key, hash);
        if (value) [[likely]]
            return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
#endif
    return storage_get(storage, key);
}

[[gnu::noinline]] int storage_set_item(PyObject* storage, PyObject* key, PyObject* value) {
    StorageGuard guard;
    return guard ? PyObject_SetItem(storage, key, value) : -1;
}

// storage[key] = value.
inline int storage_set(PyObject* storage, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(storage)) [[likely]]
        return PyDict_SetItem(storage, key, value);
    return storage_set_item(storage, key, value);
}

// key in storage.
int storage_contains(PyObject* storage, PyObject* key) {
    if (PyDict_CheckExact(storage)) return PyDict_Contains(storage, key);
    StorageGuard guard;
    return guard ? PySequence_Contains(storage, key) : -1;
}

// storage.__str__() or storage.__repr__().
PyObject* storage_text(PyObject* storage, PyObject* method) {
    StorageGuard guard;
    return guard ? PyObject_CallMethodNoArgs(storage, method) : nullptr;
}

// Whether an attribute name is unequal to "data", by Python's `!=`: 1, 0, or -1
// with an exception.
inline int differs_from_data(PyObject* name) {
    if (name == names.data) return 0;
    if (PyUnicode_CheckExact(name)) [[likely]]
        return PyUnicode_GET_LENGTH(name) != 4 || PyUnicode_Compare(name, names.data) != 0;
    return PyObject_RichCompareBool(name, names.data, Py_NE);
}

// The namespace dict of a class (new reference).
Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// Assignment handed on past the record class `cls`, as
// `super(cls, self).__setattr__(name, value)` does, without making the super object:
// the first class after `cls` in the instance's MRO that defines __setattr__ answers;
// when that is `object`, its generic assignment runs directly.
int super_setattr(PyObject* cls, PyObject* self, PyObject* name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_base == &PyBaseObject_Type && type == reinterpret_cast<PyTypeObject*>(cls)) [[likely]]
        return PyObject_GenericSetAttr(self, name, value);
    if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) {
        // Not an instance: the builtin gives its own answer (normally a TypeError).
        PyObject* super_args[] = {cls, self};
        Ref proxy = Ref::steal(PyObject_Vectorcall(state.builtin_super, super_args, 2, nullptr));
        if (!proxy) return -1;
        Ref method = Ref::steal(PyObject_GetAttr(proxy.get(), names.__setattr__));
        if (!method) return -1;
        Ref done = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), name, value, nullptr));
        return done ? 0 : -1;
    }
    PyObject* mro = type->tp_mro;
    Py_ssize_t count = PyTuple_GET_SIZE(mro), i = 0;
    while (i < count && PyTuple_GET_ITEM(mro, i) != cls) ++i;
    for (++i; i < count; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type) break;
        Ref dict = type_dict(base);
        if (!dict) continue;
        Ref found = Ref::borrow(PyDict_GetItemWithError(dict.get(), names.__setattr__));
        if (!found) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        descrgetfunc bind = Py_TYPE(found.get())->tp_descr_get;
        Ref method =
            bind ? Ref::steal(bind(found.get(), self, reinterpret_cast<PyObject*>(type))) : std::move(found);
        if (!method) return -1;
        Ref done = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), name, value, nullptr));
        return done ? 0 : -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// ---- Class descriptions -----------------------------------------------------------

enum class Op { init, getitem, setitem, contains, getattr, setattr, str, repr };

template <Op O>
constexpr auto op_name() {
    if constexpr (O == Op::init)
        return FixedString("__init__");
    else if constexpr (O == Op::getitem)
        return FixedString("__getitem__");
    else if constexpr (O == Op::setitem)
        return FixedString("__setitem__");
    else if constexpr (O == Op::contains)
        return FixedString("__contains__");
    else if constexpr (O == Op::getattr)
        return FixedString("__getattr__");
    else if constexpr (O == Op::setattr)
        return FixedString("__setattr__");
    else if constexpr (O == Op::str)
        return FixedString("__str__");
    else
        return FixedString("__repr__");
}

constexpr std::array<Op, 7> object_ops{Op::init,    Op::getitem, Op::getattr, Op::setitem,
                                       Op::setattr, Op::str,     Op::repr};
constexpr std::array<Op, 7> tick_ops{Op::init,    Op::getitem, Op::setitem, Op::getattr,
                                     Op::setattr, Op::str,     Op::repr};
constexpr std::array<Op, 8> bar_ops{Op::init,    Op::getitem, Op::setitem, Op::contains,
                                    Op::getattr, Op::setattr, Op::str,     Op::repr};

// One record class: its name, its methods in namespace order, whether its
// properties have setters, and the property names (each also its storage key).
template <FixedString Name, auto Ops, bool Settable, FixedString... Props>
struct Kind {
    static constexpr auto name = Name;
    static constexpr auto spec_name = FixedString("c_sdk.") + Name;
    static constexpr auto ops = Ops;
    static constexpr bool settable = Settable;
    static constexpr std::size_t prop_count = sizeof...(Props);
    static constexpr std::tuple<decltype(Props)...> props{Props...};
    // Traceback entry of one of the class's functions: "c_sdk.<class>.<function>".
    template <FixedString Function>
    static constexpr auto where = FixedString("c_sdk.") + Name + FixedString(".") + Function;
    static constexpr bool has(Op op) {
        for (Op o : Ops)
            if (o == op) return true;
        return false;
    }
    static inline std::array<PyObject*, sizeof...(Props)> keys{};        // interned, process-wide
    static inline std::array<Py_hash_t, sizeof...(Props)> key_hashes{};  // their hashes
};

using QuoteItem = Kind<"QuoteItemLikeDict2", tick_ops, false, "bid_p", "bid_v", "ask_p", "ask_v">;
using Tick = Kind<"TickLikeDict2", tick_ops, true, "quotes", "symbol", "created_at", "price", "open", "high",
                  "low", "cum_volume", "cum_amount", "cum_position", "last_amount", "last_volume",
                  "trade_type", "receive_local_time">;
using Bar = Kind<"BarLikeDict2", bar_ops, true, "symbol", "eob", "bob", "open", "close", "high", "low",
                 "volume", "amount", "pre_close", "position", "frequency", "receive_local_time">;
using Object = Kind<"ObjectLikeDict2", object_ops, false>;

// Parameter lists of the protocol methods (the instance counts as the first).
using InitParams = ParamList<"__init__", 2, "self", "data">;
using GetitemParams = ParamList<"__getitem__", 2, "self", "item">;
using GetattrParams = ParamList<"__getattr__", 2, "self", "item">;
using SetitemParams = ParamList<"__setitem__", 3, "self", "item", "value">;
using SetattrParams = ParamList<"__setattr__", 3, "self", "item", "value">;
using ContainsParams = ParamList<"__contains__", 2, "self", "key">;

template <class List>
Signature& signature_of() {
    (void)List::registered;
    return List::signature;
}

// ---- Protocol methods as functions (class namespace entries) -----------------------
// Each is a builtin whose `self` is the record class; it is wrapped so that it binds
// to instances like a Python function.

template <class K>
PyObject* fn_init(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto where = K::template where<"__init__">;
    (void)cls;
    PyObject* argv[2];
    if (!parse_args(signature_of<InitParams>(), args, nargs, kwnames, argv)) return fail_in(where.c_str());
    if (PyObject_SetAttr(argv[0], names.data, argv[1]) < 0) return fail_in(where.c_str());
    Py_RETURN_NONE;
}

template <class K, Op O>
PyObject* fn_read(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Params = std::conditional_t<O == Op::getitem, GetitemParams, GetattrParams>;
    static constexpr auto where = K::template where<op_name<O>()>;
    PyObject* argv[2];
    if (!parse_args(signature_of<Params>(), args, nargs, kwnames, argv)) return fail_in(where.c_str());
    Ref storage = storage_of(cls, argv[0]);
    if (!storage) return fail_in(where.c_str());
    PyObject* result = storage_get(storage.get(), argv[1]);
    if (!result) return fail_in(where.c_str());
    return result;
}

template <class K>
PyObject* fn_setitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto where = K::template where<"__setitem__">;
    PyObject* argv[3];
    if (!parse_args(signature_of<SetitemParams>(), args, nargs, kwnames, argv)) return fail_in(where.c_str());
    Ref storage = storage_of(cls, argv[0]);
    if (!storage || storage_set(storage.get(), argv[1], argv[2]) < 0) return fail_in(where.c_str());
    Py_RETURN_NONE;
}

template <class K>
PyObject* fn_setattr(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto where = K::template where<"__setattr__">;
    PyObject* argv[3];
    if (!parse_args(signature_of<SetattrParams>(), args, nargs, kwnames, argv)) return fail_in(where.c_str());
    int differs = differs_from_data(argv[1]);
    if (differs < 0) return fail_in(where.c_str());
    if (differs) {
        Ref storage = storage_of(cls, argv[0]);
        if (!storage || storage_set(storage.get(), argv[1], argv[2]) < 0) return fail_in(where.c_str());
    } else if (super_setattr(cls, argv[0], argv[1], argv[2]) < 0) {
        return fail_in(where.c_str());
    }
    Py_RETURN_NONE;
}

template <class K>
PyObject* fn_contains(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto where = K::template where<"__contains__">;
    PyObject* argv[2];
    if (!parse_args(signature_of<ContainsParams>(), args, nargs, kwnames, argv))
        return fail_in(where.c_str());
    Ref storage = storage_of(cls, argv[0]);
    if (!storage) return fail_in(where.c_str());
    int found = storage_contains(storage.get(), argv[1]);
    if (found < 0) return fail_in(where.c_str());
    return PyBool_FromLong(found);
}

template <class K, Op O>
PyObject* fn_text(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto function = op_name<O>();
    static constexpr auto where = K::template where<function>;
    if (!check_one_arg(function.c_str(), nargs, kwnames)) return fail_in(where.c_str());
    Ref storage = storage_of(cls, args[0]);
    if (!storage) return fail_in(where.c_str());
    PyObject* text = storage_text(storage.get(), O == Op::str ? names.__str__ : names.__repr__);
    if (!text) return fail_in(where.c_str());
    return text;
}

// Property accessors: the getter returns storage.get(key), the setter stores.
template <class K, std::size_t I>
PyObject* fn_get(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto key = std::get<I>(K::props);
    static constexpr auto where = K::template where<key>;
    if (!check_one_arg(key.c_str(), nargs, kwnames)) return fail_in(where.c_str());
    Ref storage = storage_of(cls, args[0]);
    if (!storage) return fail_in(where.c_str());
    PyObject* value = storage_get_property(storage.get(), K::keys[I], K::key_hashes[I]);
    if (!value) return fail_in(where.c_str());
    return value;
}

template <class K, std::size_t I>
PyObject* fn_set(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto key = std::get<I>(K::props);
    static constexpr auto where = K::template where<key>;
    PyObject* argv[2];
    if (!parse_args(signature_of<ParamList<key, 2, "self", "value">>(), args, nargs, kwnames, argv))
        return fail_in(where.c_str());
    Ref storage = storage_of(cls, argv[0]);
    if (!storage || storage_set(storage.get(), K::keys[I], argv[1]) < 0) return fail_in(where.c_str());
    Py_RETURN_NONE;
}

// ---- Function tables ---------------------------------------------------------------

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method_def(const char* name, FastFunction fn, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Signature texts: introspection shows the parameters, __doc__ stays None.
template <FixedString Function, FixedString Params>
inline constexpr auto doc = Function + FixedString("(") + Params + FixedString(")\n--\n\n");

template <class K>
PyMethodDef op_def(Op op) {
    switch (op) {
        case Op::init:
            return method_def("__init__", fn_init<K>, doc<"__init__", "self, data">.c_str());
        case Op::getitem:
            return method_def("__getitem__", fn_read<K, Op::getitem>,
                              doc<"__getitem__", "self, item">.c_str());
        case Op::getattr:
            return method_def("__getattr__", fn_read<K, Op::getattr>,
                              doc<"__getattr__", "self, item">.c_str());
        case Op::setitem:
            return method_def("__setitem__", fn_setitem<K>, doc<"__setitem__", "self, item, value">.c_str());
        case Op::setattr:
            return method_def("__setattr__", fn_setattr<K>, doc<"__setattr__", "self, item, value">.c_str());
        case Op::contains:
            return method_def("__contains__", fn_contains<K>, doc<"__contains__", "self, key">.c_str());
        case Op::str:
            return method_def("__str__", fn_text<K, Op::str>, doc<"__str__", "self, /">.c_str());
        case Op::repr:
            return method_def("__repr__", fn_text<K, Op::repr>, doc<"__repr__", "self, /">.c_str());
    }
    return {};
}

template <class K>
struct Tables {
    std::array<PyMethodDef, K::ops.size()> methods;
    std::array<PyMethodDef, K::prop_count> getters;
    std::array<PyMethodDef, K::prop_count> setters;
};

template <class K, std::size_t... I>
Tables<K> make_tables(std::index_sequence<I...>) {
    Tables<K> t;
    for (std::size_t i = 0; i < K::ops.size(); ++i) t.methods[i] = op_def<K>(K::ops[i]);
    t.getters = {method_def(std::get<I>(K::props).c_str(), fn_get<K, I>,
                            doc<std::get<I>(K::props), "self, /">.c_str())...};
    t.setters = {method_def(std::get<I>(K::props).c_str(), fn_set<K, I>,
                            doc<std::get<I>(K::props), "self, value">.c_str())...};
    return t;
}

// Built when the library is loaded; never changes afterwards.
template <class K>
inline Tables<K> tables = make_tables<K>(std::make_index_sequence<K::prop_count>{});

// ---- Reading properties without the call ---------------------------------------------
// The native attribute lookup of a record class recognises a property whose getter is
// one of the class's own getter functions and reads the storage itself, with the
// same result as calling it. It reads the getter from the property object, whose
// first field after the header holds it; that layout is confirmed when each class is
// created, and the shortcut is off when it does not hold.

struct PropertyHead {
    PyObject ob_base;
    PyObject* fget;
};

bool property_layout_known = false;

// Traceback entries of the property accessors, by property index.
template <class K, std::size_t... I>
constexpr std::array<const char*, K::prop_count> make_property_where(std::index_sequence<I...>) {
    return {K::template where<std::get<I>(K::props)>.c_str()...};
}
template <class K>
inline constexpr auto property_where = make_property_where<K>(std::make_index_sequence<K::prop_count>{});

// Index of the class's own property getter held by `descr`, or -1.
template <class K>
inline Py_ssize_t own_property(PyObject* descr) {
    if constexpr (K::prop_count == 0) {
        (void)descr;
        return -1;
    } else {
        if (Py_TYPE(descr) != &PyProperty_Type || !property_layout_known) return -1;
        PyObject* fget = reinterpret_cast<PropertyHead*>(descr)->fget;
        if (!fget || !PyCFunction_CheckExact(fget)) return -1;
        const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(fget)->m_ml;
        const PyMethodDef* first = tables<K>.getters.data();
        if (def < first || def >= first + K::prop_count) return -1;
        return def - first;
    }
}

// ---- Property reads remembered from the class's own dict ---------------------------------
// The attribute lookup of a record class remembers, per property name, the property
// its own class dict holds under that name, when that is the class's own property of
// that name (as the class was made; one installed under another name is found by the
// full lookup every time), so that a remembered read looks up the very name it was
// asked for, with the hash computed when the class was made. For an instance of the
// class itself that is what the full lookup finds (the class comes first in its own
// MRO, and __bases__ assignment cannot change that). The remembered property and its
// getter are held, so neither address can come back as another object; the getter is
// still compared on every read, because a property object's own __init__ can replace
// it in place.
//
// The class's version tag does not tell when the dict changed: before 3.11,
// sys._clear_type_cache() restarts the tag counter, so an old tag is handed out again,
// and from 3.13 a change invalidates the tag before it is stored, so a lookup made in
// between (by another dict watcher, say) gives the class a new tag under which the old
// value is then found. What is followed instead:
// - before 3.12, the dict's own version tag, which every change of the dict replaces,
//   after the change, with a value never handed out again;
// - from 3.12, the dict itself, through the module's dict watcher: it is told of each
//   change before it is made, with the value the dict is about to hold, and records
//   exactly that (see runtime/state.hpp).

// What the class dict holds for one property name, by name. The names are the class's
// interned keys, found by identity: the names a program's code reads attributes by are
// interned too. One entry per cache line.
struct alignas(64) SeenProperty {
    PyObject* name = nullptr;    // interned property name; null marks a free bucket
    PyObject* descr = nullptr;   // strong: the property the class dict holds; null: not known
    PyObject* getter = nullptr;  // strong: its getter when remembered
#if PY_VERSION_HEX < 0x030C0000
    uint64_t dict_version = 0;  // the class dict's version tag then; 0: nothing remembered
#endif
    Py_hash_t hash = -1;         // the name's
    unsigned int key_index = 0;  // the name's place among the keys
};

// Dict versions before 3.12 (every live dict has one above 0).
#if PY_VERSION_HEX < 0x030C0000
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

template <class K>
struct SeenProperties {
    static constexpr int size_bits = 6;
    static constexpr std::size_t size = std::size_t{1} << size_bits;  // a few times prop_count
    static_assert(K::prop_count * 2 <= size);
    std::array<SeenProperty, size> buckets{};
    PyTypeObject* owner = nullptr;  // strong: the record class the entries describe
#if PY_VERSION_HEX >= 0x030C0000
    bool known = false;  // false once the class dict may hold a key other than an exact str
#endif

    // Multiplicative hashing of the name's address: fill() picks a multiplier that gives
    // every key a bucket of its own, so that a key is found at its first probe, and any
    // other name is known not to be one there.
    std::uint64_t multiplier = 0;
    bool keys_at_home = false;
    std::size_t bucket(PyObject* name) const {
        auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
        return static_cast<std::size_t>((bits * multiplier) >> (64 - size_bits));
    }
    // Once per process: the keys never change once interned.
    void fill() {
        if (multiplier) return;
        std::uint64_t state = 0;
        for (int attempt = 0; attempt < 256; ++attempt) {
            // Odd candidates from a fixed sequence (splitmix64); for 14 keys in 64
            // buckets about one in four has no collision. Should none of them do, the
            // table still works, with more probes for some keys.
            std::uint64_t mixed = (state += 0x9E3779B97F4A7C15u);
            mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
            mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
            multiplier = (mixed ^ (mixed >> 31)) | 1;
            std::uint64_t taken = 0;
            bool distinct = true;
            for (PyObject* key : K::keys) {
                std::uint64_t one = std::uint64_t{1} << bucket(key);
                distinct = distinct && !(taken & one);
                taken |= one;
            }
            if (distinct) {
                keys_at_home = true;
                break;
            }
        }
        for (std::size_t i = 0; i < K::prop_count; ++i) {
            std::size_t at = bucket(K::keys[i]);
            while (buckets[at].name) at = (at + 1) & (size - 1);
            buckets[at].name = K::keys[i];
            buckets[at].hash = K::key_hashes[i];
            buckets[at].key_index = static_cast<unsigned int>(i);
        }
    }
    // The entry of the property called `name`, or null (also for an equal but distinct str).
    SeenProperty* find(PyObject* name) {
        std::size_t at = bucket(name);
        if (buckets[at].name == name) [[likely]]
            return &buckets[at];
        return keys_at_home ? nullptr : find_probing(name, at);
    }
    [[gnu::noinline]] SeenProperty* find_probing(PyObject* name, std::size_t at) {
        while (buckets[at].name) {
            at = (at + 1) & (size - 1);
            if (buckets[at].name == name) return &buckets[at];
        }
        return nullptr;
    }
    // Remembers `descr` (or nothing, when null or not the class's own property of the
    // entry's name) as what the class dict holds under the entry's name.
    void set(SeenProperty* entry, PyObject* descr, bool in_watcher = false);
    void forget_all(bool in_watcher = false) {
        for (SeenProperty& entry : buckets)
            if (entry.name) set(&entry, nullptr, in_watcher);
    }
};

template <class K>
inline SeenProperties<K> seen_properties;

// Drops a reference an entry held. Inside the dict watcher no destructor may run.
inline void release_entry_ref(PyObject* obj, [[maybe_unused]] bool in_watcher) {
#if PY_VERSION_HEX >= 0x030C0000
    if (in_watcher) return release_held(obj);
#endif
    Py_XDECREF(obj);
}

template <class K>
void SeenProperties<K>::set(SeenProperty* entry, PyObject* descr, bool in_watcher) {
    bool own = descr && own_property<K>(descr) == static_cast<Py_ssize_t>(entry->key_index);
    PyObject* old_descr = entry->descr;
    PyObject* old_getter = entry->getter;
    if (own) {
        entry->descr = Py_NewRef(descr);
        entry->getter = Py_NewRef(reinterpret_cast<PropertyHead*>(descr)->fget);
    } else {
        entry->descr = entry->getter = nullptr;
    }
#if PY_VERSION_HEX < 0x030C0000
    entry->dict_version = own ? dict_version(owner->tp_dict) : 0;
#endif
    // Last: a destructor run by the release sees the entry complete.
    release_entry_ref(old_descr, in_watcher);
    release_entry_ref(old_getter, in_watcher);
}

// Whether the remembered property still holds for an instance of `type` (then it reads
// the entry's name); false when the full lookup must answer.
template <class K>
inline bool seen_holds(const SeenProperty* seen, PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
    return type == seen_properties<K>.owner && seen->dict_version == dict_version(type->tp_dict) &&
           reinterpret_cast<PropertyHead*>(seen->descr)->fget == seen->getter;
#else
    return type == seen_properties<K>.owner && seen->descr &&
           reinterpret_cast<PropertyHead*>(seen->descr)->fget == seen->getter;
#endif
}

// The full lookup of a property name on an instance of the record class itself: the
// class's own dict answers first, as the MRO lookup would (the class comes first),
// without the interpreter's type cache, which can still hand out the value a change
// just replaced, under a tag given in between. Before 3.12 what the dict gave is
// remembered when the dict did not change during the lookup (a key's __eq__ may run);
// from 3.12 the watcher keeps the entry, and only a getter replaced in place is taken.
// Null when the dict has no such entry (or its lookup failed, which the interpreter's
// own lookup also ignores).
template <class K>
Ref own_dict_entry(PyTypeObject* type, PyObject* name, SeenProperty* seen) {
    SeenProperties<K>& table = seen_properties<K>;
    if (type != table.owner) return {};
    PyObject* dict = type->tp_dict;
#if PY_VERSION_HEX < 0x030C0000
    uint64_t version = dict_version(dict);
#endif
    Ref found = Ref::borrow(PyDict_GetItemWithError(dict, name));
    if (!found) {
        PyErr_Clear();
        return {};
    }
#if PY_VERSION_HEX < 0x030C0000
    table.set(seen, dict_version(dict) == version ? found.get() : nullptr);
#else
    if (seen->descr == found.get() && reinterpret_cast<PropertyHead*>(seen->descr)->fget != seen->getter)
        table.set(seen, found.get());
#endif
    return found;
}

#if PY_VERSION_HEX >= 0x030C0000
// Told before each change of the class dict, with what it is about to hold.
template <class K>
void on_class_dict_change(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject* new_value) {
    SeenProperties<K>& table = seen_properties<K>;
    bool keyed =
        event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    if (keyed && PyUnicode_CheckExact(key)) {
        if (!table.known) return;
        SeenProperty* entry = table.find(key);
        if (!entry) {
            Py_ssize_t index = index_of_name(key, K::keys.data(), K::prop_count);
            if (index < 0) return;
            entry = table.find(K::keys[static_cast<std::size_t>(index)]);
        }
        table.set(entry, event == PyDict_EVENT_DELETED ? nullptr : new_value, true);
        return;
    }
    // Cleared (empty afterwards), or a change that cannot be followed without running
    // Python code: the full lookup answers from now on.
    table.forget_all(true);
    table.known = event == PyDict_EVENT_CLEARED;
}
#endif

// Makes the entries describe the new record class `type`; from 3.12 reads its dict and
// follows its changes.
template <class K>
bool follow_class(PyObject* type) {
    SeenProperties<K>& table = seen_properties<K>;
    table.forget_all();
    Py_XSETREF(table.owner, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = table.owner->tp_dict;
    for (SeenProperty& entry : table.buckets) {
        if (!entry.name) continue;
        // The class was just made: its keys are exact strs, so no Python code runs.
        PyObject* found = PyDict_GetItemWithError(dict, entry.name);
        if (!found && PyErr_Occurred()) return false;
        table.set(&entry, found);
    }
    table.known = true;
    return observe_dict(dict, on_class_dict_change<K>);
#else
    return true;
#endif
}

// ---- Native slots (instances of the record class itself) -----------------------------

// Reads a property of the record's class from the storage, as its getter would: key
// `key` (one of K::keys) with its hash; a new reference, or null with the error set
// (see property_read_failed).
[[gnu::always_inline]] inline PyObject* read_property(PyObject* self, PyObject* key, Py_hash_t hash) {
    PyObject* storage = slot_of(self);
    if (!storage) [[unlikely]] {
        raise_empty(self);
        return nullptr;
    }
    // Held for the whole lookup (`data` may be rebound meanwhile); by hand rather than
    // by a Ref, whose release the compiler may not inline on this path.
    Py_INCREF(storage);
    PyObject* result = storage_get_property(storage, key, hash);
    Py_DECREF(storage);
    return result;
}

template <class K>
[[gnu::noinline]] PyObject* getattr_fallback(PyObject* self, PyObject* name) {
    PyErr_Clear();
    Ref storage = slot_storage(self);
    PyObject* result = storage ? storage_get(storage.get(), name) : nullptr;
    if (!result) return fail_in(K::template where<"__getattr__">.c_str());
    return result;
}

// A property read gave no value (the error is set): as for any class with
// __getattr__, an AttributeError hands the name on to it; any other error leaves with
// the property's traceback entry.
template <class K>
[[gnu::noinline, gnu::cold]] PyObject* property_read_failed(PyObject* self, PyObject* name,
                                                            std::size_t index) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        add_traceback(property_where<K>[index]);
        return nullptr;
    }
    return getattr_fallback<K>(self, name);
}

// The full lookup: the class's namespace (for a property name `seen`, its own dict
// first), then __getattr__.
template <class K>
[[gnu::noinline]] PyObject* getattro_lookup(PyObject* self, PyObject* name, SeenProperty* seen) {
    PyTypeObject* type = Py_TYPE(self);
    if (!PyUnicode_Check(name)) [[unlikely]]
        return PyObject_GenericGetAttr(self, name);
    Ref descr = seen ? own_dict_entry<K>(type, name, seen) : Ref();
    if (!descr) descr = Ref::borrow(_PyType_Lookup(type, name));
    if (PyObject* found = descr.get()) {
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (!get) return descr.release();
        if (Py_ssize_t index = own_property<K>(found); index >= 0) {
            // What the getter would do, without the call.
            auto at = static_cast<std::size_t>(index);
            PyObject* result = read_property(self, K::keys[at], K::key_hashes[at]);
            return result ? result : property_read_failed<K>(self, name, at);
        }
        PyObject* result = get(descr.get(), self, reinterpret_cast<PyObject*>(type));
        // As for any class with __getattr__: an AttributeError from the ordinary
        // lookup hands the name on to it.
        if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
    }
    return getattr_fallback<K>(self, name);
}

template <class K>
PyObject* slot_getattro(PyObject* self, PyObject* name) {
    SeenProperty* seen = nullptr;
    if constexpr (K::prop_count > 0) {
        seen = seen_properties<K>.find(name);
        if (seen) [[likely]] {
            if (seen_holds<K>(seen, Py_TYPE(self))) [[likely]] {
                PyObject* result = read_property(self, name, seen->hash);
                if (result) [[likely]]
                    return result;
                // The entry's name is `name` itself: only the entry is kept across the read.
                return property_read_failed<K>(self, seen->name, seen->key_index);
            }
        }
    }
    return getattro_lookup<K>(self, name, seen);
}

template <class K>
int slot_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) {
        // No __delattr__ of its own: object's generic deletion, which refuses all but
        // the `data` slot. The storage is never touched.
        if (PyObject_GenericSetAttr(self, name, nullptr) < 0) {
            add_traceback(K::template where<"__delattr__">.c_str());
            return -1;
        }
        return 0;
    }
    int differs = differs_from_data(name);
    if (differs > 0) [[likely]] {
        Ref storage = slot_storage(self);
        if (storage && storage_set(storage.get(), name, value) == 0) return 0;
    } else if (differs == 0 && PyObject_GenericSetAttr(self, name, value) == 0) {
        return 0;
    }
    add_traceback(K::template where<"__setattr__">.c_str());
    return -1;
}

template <class K>
PyObject* slot_subscript(PyObject* self, PyObject* key) {
    Ref storage = slot_storage(self);
    PyObject* result = storage ? storage_get(storage.get(), key) : nullptr;
    if (!result) return fail_in(K::template where<"__getitem__">.c_str());
    return result;
}

template <class K>
int slot_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        // No __delitem__: the interpreter's error for the missing method.
        PyErr_SetString(PyExc_AttributeError, "__delitem__");
        add_traceback(K::template where<"__delitem__">.c_str());
        return -1;
    }
    Ref storage = slot_storage(self);
    if (storage && storage_set(storage.get(), key, value) == 0) return 0;
    add_traceback(K::template where<"__setitem__">.c_str());
    return -1;
}

template <class K>
int slot_contains(PyObject* self, PyObject* key) {
    Ref storage = slot_storage(self);
    int found = storage ? storage_contains(storage.get(), key) : -1;
    if (found < 0) add_traceback(K::template where<"__contains__">.c_str());
    return found;
}

template <class K, Op O>
PyObject* slot_text(PyObject* self) {
    static constexpr auto where = K::template where<op_name<O>()>;
    Ref storage = slot_storage(self);
    PyObject* text =
        storage ? storage_text(storage.get(), O == Op::str ? names.__str__ : names.__repr__) : nullptr;
    if (!text) return fail_in(where.c_str());
    return text;
}

// Whether attribute assignment on instances of `type` (the record class itself)
// reaches the class's own __setattr__ function, i.e. whether it fills the slot for
// `data` without calling anything else.
template <class K>
inline bool own_setattr(PyTypeObject* type) {
    PyObject* found = _PyType_Lookup(type, names.__setattr__);
    if (!found || !PyInstanceMethod_Check(found)) return false;
    PyObject* fn = PyInstanceMethod_GET_FUNCTION(found);
    return PyCFunction_CheckExact(fn) &&
           PyCFunction_GET_FUNCTION(fn) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn_setattr<K>));
}

// Fills the `data` slot of a new instance by ordinary attribute assignment, so through
// __setattr__; while that is the class's own function it is done here without the call.
template <class K>
int assign_data(PyObject* self, PyObject* data) {
    int failed = own_setattr<K>(Py_TYPE(self)) ? PyObject_GenericSetAttr(self, names.data, data)
                                               : PyObject_SetAttr(self, names.data, data);
    if (failed < 0) add_traceback(K::template where<"__init__">.c_str());
    return failed;
}

template <class K>
int slot_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* argv[2];
    if (PyTuple_GET_SIZE(args) == 1 && (!kwds || PyDict_GET_SIZE(kwds) == 0)) [[likely]] {
        argv[1] = PyTuple_GET_ITEM(args, 0);
    } else if (!parse_args_dict(signature_of<InitParams>(), self, args, kwds, argv)) {
        add_traceback(K::template where<"__init__">.c_str());
        return -1;
    }
    return assign_data<K>(self, argv[1]);
}

// The interpreter's call of a class, from vectorcall arguments.
PyObject* call_type(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        if (!(kwargs = Ref::steal(PyDict_New()))) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
        }
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

// Calling the record class: object's allocation then __init__, as the interpreter's
// class call does, without building an argument tuple. Every other call, and a class
// whose __new__ or __init__ was replaced, goes through the interpreter's class call.
template <class K>
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || kwnames || type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != slot_init<K>)
        [[unlikely]]
        return call_type(cls, args, nargs, kwnames);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || assign_data<K>(self.get(), args[0]) < 0) return nullptr;
    return self.release();
}

// Shared by every record class: the storage is the only reference an instance holds
// besides its class.
int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(slot_of(self));
    return 0;
}

int record_clear(PyObject* self) {
    Py_CLEAR(slot_of(self));
    return 0;
}

void record_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, record_dealloc) PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(slot_of(self));
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyMemberDef record_members[] = {
    {"data", Py_T_OBJECT_EX, offsetof(Record, data), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- Class creation ------------------------------------------------------------------

// Property I of K: its setter's signature and its key (K::keys[I]) interned.
template <class K, std::size_t I>
bool intern_property_name() {
    if (!intern_signature(signature_of<ParamList<std::get<I>(K::props), 2, "self", "value">>())) return false;
    if (!K::keys[I]) K::keys[I] = PyUnicode_InternFromString(std::get<I>(K::props).c_str());
    return K::keys[I] != nullptr;
}

template <class K, std::size_t... I>
bool intern_property_names(std::index_sequence<I...>) {
    return (intern_property_name<K, I>() && ...);
}

template <class K>
bool intern_keys() {
    for (Signature* sig :
         {&signature_of<InitParams>(), &signature_of<GetitemParams>(), &signature_of<GetattrParams>(),
          &signature_of<SetitemParams>(), &signature_of<SetattrParams>(), &signature_of<ContainsParams>()}) {
        if (!intern_signature(*sig)) return false;
    }
    if (!intern_property_names<K>(std::make_index_sequence<K::prop_count>{})) return false;
    for (std::size_t i = 0; i < K::prop_count; ++i) {
        // An exact str's hash: it never fails and never changes.
        if ((K::key_hashes[i] = PyObject_Hash(K::keys[i])) == -1) return false;
    }
    if constexpr (K::prop_count > 0) seen_properties<K>.fill();
    return true;
}

// What a class statement does for each namespace value that has __set_name__ (a
// property learns its name from it, for its messages).
bool set_name(PyObject* value, PyObject* type, PyObject* name) {
    static PyObject* hook = nullptr;  // interned once per process
    if (!hook && !(hook = PyUnicode_InternFromString("__set_name__"))) return false;
    if (!_PyType_Lookup(Py_TYPE(value), hook)) return true;
    return bool(Ref::steal(PyObject_CallMethodObjArgs(value, hook, type, name, nullptr)));
}

// A builtin function of the class: `__self__` is the class, so its qualified name
// reads "<class>.<name>" like that of a method written in Python.
Ref class_function(PyMethodDef* def, PyObject* type) {
    return Ref::steal(PyCFunction_NewEx(def, type, names.c_sdk));
}

template <class K>
bool fill_namespace(PyObject* type_obj) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
    PyObject* dict = type->tp_dict;
    // The slot descriptor and the documentation entry made by the type machinery
    // are kept; every other entry it made is dropped, and the namespace is rebuilt
    // in the order a class statement would give it.
    Ref data_member = Ref::borrow(PyDict_GetItemWithError(dict, names.data));
    if (!data_member) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "record slot descriptor missing");
        return false;
    }
    Ref doc = Ref::borrow(PyDict_GetItemWithError(dict, names.__doc__));
    if (!doc && PyErr_Occurred()) return false;
    PyDict_Clear(dict);

    Ref slots = Ref::steal(PyList_New(1));
    if (!slots) return false;
    PyList_SET_ITEM(slots.get(), 0, Py_NewRef(names.data));
    if (PyDict_SetItem(dict, names.__module__, names.c_sdk) < 0 ||
        PyDict_SetItem(dict, names.__slots__, slots.get()) < 0)
        return false;

    Tables<K>& t = tables<K>;
    for (PyMethodDef& def : t.methods) {
        Ref fn = class_function(&def, type_obj);
        Ref method = fn ? Ref::steal(PyInstanceMethod_New(fn.get())) : Ref();
        if (!method || PyDict_SetItemString(dict, def.ml_name, method.get()) < 0) return false;
    }
    // Refuses iteration for subclasses too. A Python subclass has its slots recomputed
    // from its MRO: with no __iter__ anywhere it gets no iteration slot, while the
    // inherited __getitem__ gives it a sequence item slot, so iter() and `in` would walk
    // indices 0, 1, 2, ... through storage.get forever. `__iter__ = None` is the
    // interpreter's own way to say "not iterable" (as `__hash__ = None` is for hashing):
    // a data entry rather than a method, so the class still offers no protocol and
    // collections.abc.Iterable still says no. It is put in the namespace directly, so
    // the class's own iteration slot stays empty and its messages are unchanged; a
    // subclass that defines __iter__ (or __contains__) uses its own. A hook on subclass
    // creation would miss classes whose parents skip it; a native slot wrapper would
    // make the class look iterable.
    if (PyDict_SetItem(dict, names.__iter__, Py_None) < 0) return false;
    for (std::size_t i = 0; i < K::prop_count; ++i) {
        Ref getter = class_function(&t.getters[i], type_obj);
        if (!getter) return false;
        Ref setter = K::settable ? class_function(&t.setters[i], type_obj) : Ref();
        if (K::settable && !setter) return false;
        PyObject* accessors[] = {getter.get(), setter.get()};
        Ref property =
            Ref::steal(PyObject_Vectorcall(state.builtin_property, accessors, K::settable ? 2 : 1, nullptr));
        if (!property) return false;
        if (i == 0 && Py_TYPE(property.get()) == &PyProperty_Type)
            property_layout_known = reinterpret_cast<PropertyHead*>(property.get())->fget == getter.get();
        if (PyDict_SetItem(dict, K::keys[i], property.get()) < 0) return false;
        if (!set_name(property.get(), type_obj, K::keys[i])) return false;
    }
    if (PyDict_SetItem(dict, names.data, data_member.get()) < 0) return false;
    if (doc && PyDict_SetItem(dict, names.__doc__, doc.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

template <class K>
PyObject* create() {
    if (!intern_keys<K>()) return nullptr;
    PyType_Slot slots[16];
    int count = 0;
    auto add = [&](int id, auto* fn) { slots[count++] = {id, reinterpret_cast<void*>(fn)}; };
    add(Py_tp_dealloc, record_dealloc);
    add(Py_tp_traverse, record_traverse);
    add(Py_tp_clear, record_clear);
    add(Py_tp_members, record_members);
    add(Py_tp_getattro, slot_getattro<K>);
    if constexpr (native_setattro) add(Py_tp_setattro, slot_setattro<K>);
    add(Py_tp_init, slot_init<K>);
    add(Py_tp_str, slot_text<K, Op::str>);
    add(Py_tp_repr, slot_text<K, Op::repr>);
    add(Py_mp_subscript, slot_subscript<K>);
    add(Py_mp_ass_subscript, slot_ass_subscript<K>);
    if constexpr (K::has(Op::contains)) add(Py_sq_contains, slot_contains<K>);
    slots[count] = {0, nullptr};
    PyType_Spec spec{K::spec_name.c_str(), static_cast<int>(sizeof(Record)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    // The bare class name, as a class statement gives it (also in the interpreter's
    // messages, which quote tp_name).
    Ref bare = Ref::steal(PyUnicode_FromString(K::name.c_str()));
    if (!bare || PyObject_SetAttr(type.get(), names.__name__, bare.get()) < 0) return nullptr;
    if (!fill_namespace<K>(type.get())) return nullptr;
    if constexpr (!native_setattro) {
        // Assigning __setattr__ through the class (the same function, same place in
        // the namespace) makes the interpreter install its dispatcher for it.
        Ref fn = Ref::borrow(
            PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict, names.__setattr__));
        if (!fn) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "record __setattr__ missing");
            return nullptr;
        }
        if (PyObject_SetAttr(type.get(), names.__setattr__, fn.get()) < 0) return nullptr;
    }
    if constexpr (K::prop_count > 0) {
        if (!follow_class<K>(type.get())) return nullptr;
    }
    // Not inherited: subclasses keep the interpreter's class call.
    reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = construct<K>;
    return type.release();
}

constexpr RecordClass classes[] = {
    {"QuoteItemLikeDict2", create<QuoteItem>},
    {"TickLikeDict2", create<Tick>},
    {"BarLikeDict2", create<Bar>},
    {"ObjectLikeDict2", create<Object>},
};

}  // namespace

std::span<const RecordClass> record_classes() { return classes; }

}  // namespace csdk
