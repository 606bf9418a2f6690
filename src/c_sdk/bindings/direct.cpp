// Direct function objects: each holds one library function pointer; the argument
// and result conversions exist once per C signature and are shared by every
// function of that signature. All report themselves as "wrap".
#include "direct.hpp"

#include <tuple>
#include <type_traits>

#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

// Storage of one converted argument: a text keeps its bytearray exported until the
// call has returned; numbers are held as themselves.
template <class T>
struct ArgSlot {
    T value{};
    bool convert(PyObject* obj) {
        if constexpr (std::is_same_v<T, int>)
            return to_int32(obj, &value);
        else if constexpr (std::is_same_v<T, bool>)
            return to_flag(obj, &value);
        else
            static_assert(std::is_same_v<T, void>, "no conversion for this C type");
    }
    T get() const { return value; }
};

template <>
struct ArgSlot<const char*> {
    TextArg text;
    bool convert(PyObject* obj) { return text.convert(obj); }
    const char* get() const { return text.text(); }
};

template <class R>
PyObject* convert_result(R value) {
    if constexpr (std::is_same_v<R, const char*>)
        return value ? PyBytes_FromString(value) : Py_NewRef(Py_None);  // null: no text
    else if constexpr (std::is_same_v<R, double>)
        return PyFloat_FromDouble(value);
    else
        return PyLong_FromLongLong(value);
}

// The library never sets a Python exception itself; this only catches one left
// pending by code that ran inside the call. Checked only on the error-signalling
// values, as for any C function returning to Python.
template <class R>
bool may_have_error(const R& value) {
    if constexpr (std::is_same_v<R, const char*>)
        return value == nullptr;
    else
        return value == static_cast<R>(-1);
}

template <class Fn, FixedString Doc, FixedString... Params>
struct Adapter;

template <class R, class... A, FixedString Doc, FixedString... Params>
struct Adapter<R (*)(A...), Doc, Params...> {
    static_assert(sizeof...(A) == sizeof...(Params), "one name per parameter");
    using Pointer = R (*)(A...);
    using Parser = Style<"wrap", Params...>;  // the bindings' own calling styles, named wrap

    template <std::size_t... K>
    static PyObject* run(R (*fn)(A...), PyObject** argv, std::index_sequence<K...>) {
        std::tuple<ArgSlot<A>...> slots;
        if (!(std::get<K>(slots).convert(argv[K]) && ...)) return nullptr;
        if constexpr (std::is_void_v<R>) {
            fn(std::get<K>(slots).get()...);
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_NONE;
        } else {
            R value = fn(std::get<K>(slots).get()...);
            if (may_have_error(value) && PyErr_Occurred()) return nullptr;
            return convert_result(value);
        }
    }

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        auto fn = reinterpret_cast<R (*)(A...)>(PyCapsule_GetPointer(self, nullptr));
        PyObject* argv[sizeof...(A) > 0 ? sizeof...(A) : 1];
        if (!fn || !Parser::parse(args, PyVectorcall_NARGS(nargsf), kwnames, argv))
            return fail_in("c_sdk.wrap");
        PyObject* result = run(fn, argv, std::index_sequence_for<A...>{});
        return result ? result : fail_in("c_sdk.wrap");
    }

    static inline PyMethodDef def = {"wrap",
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                                     METH_FASTCALL | METH_KEYWORDS, Doc.c_str()};
};

// One adapter per C signature.
using Strerror = Adapter<const char* (*)(int), "wrap(errorno: 'int') -> 'const char *'", "errorno">;
using RealClock = Adapter<double (*)(), "wrap() -> float">;
using Clock = Adapter<long long (*)(), "wrap() -> 'long long'">;
using IntCall = Adapter<int (*)(), "wrap() -> 'int'">;
using SendMessage = Adapter<int (*)(const char*, const char*),
                            "wrap(topic: 'const char *', msg: 'const char *') -> 'int'", "topic", "msg">;
using AddTopic = Adapter<void (*)(const char*), "wrap(topic: 'const char *') -> 'void'", "topic">;
using BusSecure = Adapter<void (*)(int, const char*, const char*, const char*, bool),
                          "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', "
                          "tlskey: 'const char *', skip_verify: 'bool') -> 'void'",
                          "in_mode", "tlsca", "tlscert", "tlskey", "skip_verify">;
using BusInfo = Adapter<void (*)(const char*, const char*, const char*),
                        "wrap(server_addr: 'const char *', user_name: 'const char *', password: "
                        "'const char *') -> 'void'",
                        "server_addr", "user_name", "password">;
using SetMode = Adapter<void (*)(int), "wrap(mode: 'int') -> 'void'", "mode">;
using TextCall = Adapter<const char* (*)(), "wrap() -> 'const char *'">;

// A new function object of signature Sig holding Fn; the library declaration must
// match the signature exactly.
template <class Sig, typename Sig::Pointer Fn>
PyObject* make_direct() {
    Ref holder = Ref::steal(PyCapsule_New(reinterpret_cast<void*>(Fn), nullptr, nullptr));
    if (!holder) return nullptr;
    return PyCFunction_NewEx(&Sig::def, holder.get(), names.c_sdk);
}

constexpr DirectFunction table[] = {
    {"qxi_add_bus_topic", make_direct<AddTopic, qxi_add_bus_topic>},
    {"qxi_get_c_version", make_direct<TextCall, qxi_get_c_version>},
    {"qxi_get_encrypted_token", make_direct<TextCall, qxi_get_encrypted_token>},
    {"qxi_get_ext_errormsg", make_direct<TextCall, qxi_get_ext_errormsg>},
    {"qxi_get_orgcode", make_direct<TextCall, qxi_get_orgcode>},
    {"qxi_init", make_direct<IntCall, qxi_init>},
    {"qxi_now", make_direct<Clock, qxi_now>},
    {"qxi_now_plus", make_direct<RealClock, qxi_now_plus>},
    {"qxi_poll", make_direct<IntCall, qxi_poll>},
    {"qxi_send_msg_to_bus", make_direct<SendMessage, qxi_send_msg_to_bus>},
    {"qxi_set_bus_info", make_direct<BusInfo, qxi_set_bus_info>},
    {"qxi_set_bus_secure", make_direct<BusSecure, qxi_set_bus_secure>},
    {"qxi_set_mode", make_direct<SetMode, qxi_set_mode>},
    {"qxi_strerror", make_direct<Strerror, qxi_strerror>},
};

}  // namespace

std::span<const DirectFunction> direct_functions() { return table; }

}  // namespace csdk
