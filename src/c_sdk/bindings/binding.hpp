// The call template every binding is made from. A binding is one line: its Python
// name, its library function, how the result comes back and, per library argument,
// which Python parameter feeds it through which conversion. Argument checking,
// conversion order, the library call and error reporting are derived from that.
#pragma once

#include <Python.h>

#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "../runtime/args.hpp"
#include "../runtime/convert.hpp"

namespace csdk {

// One module function, as the family tables list it.
struct Binding {
    const char* name;
    PyObject* (*impl)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    bool decorated;              // bound through adapt_to_python3
    const char* (*signature)();  // text signature for introspection
    // The same binding for a call through the decorator's wrapper in which every str
    // argument is an exact, ASCII-only str: those convert as the ASCII bytes the
    // wrapper would otherwise make of them. Null for bindings not made from a row.
    PyObject* (*ascii_impl)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) = nullptr;
};

// ---- Conversions: each reads Python parameter I and yields library arguments. ----

// A Python parameter converted to one library argument of type C.
template <int I, class C, bool (*Convert)(PyObject*, C*)>
struct Scalar {
    using Storage = C;
    static bool convert(PyObject* const* argv, Storage& s) { return Convert(argv[I], &s); }
    static auto args(const Storage& s) { return std::tuple<C>(s); }
};

// Byte text; a bytearray stays exported until the call has returned.
template <int I>
struct Text {
    using Storage = TextArg;
    static bool convert(PyObject* const* argv, Storage& s) { return s.convert(argv[I]); }
    static auto args(const Storage& s) { return std::tuple<const char*>(s.text()); }
};
template <int I>
using Int = Scalar<I, int, to_int32>;
template <int I>
using Real = Scalar<I, double, to_real>;
template <int I>
using Flag = Scalar<I, bool, to_flag>;

// An integer passed as a flag: true exactly when it is not zero.
template <int I>
struct IntAsFlag {
    using Storage = int;
    static bool convert(PyObject* const* argv, Storage& s) { return to_int32(argv[I], &s); }
    static auto args(const Storage& s) { return std::tuple<bool>(s != 0); }
};

// A serialised request: pointer and length, no copy; a bytearray stays exported until
// the call has returned.
template <int I>
struct Request {
    using Storage = RequestArg;
    static bool convert(PyObject* const* argv, Storage& s) { return s.convert(argv[I]); }
    static auto args(const Storage& s) { return std::tuple<const char*, int>(s.data(), s.length()); }
};

// A fixed argument the library expects (a reserved null pointer).
template <auto Value>
struct Fixed {
    struct Storage {};
    static bool convert(PyObject* const*, Storage&) { return true; }
    static auto args(const Storage&) { return std::tuple<decltype(Value)>(Value); }
};

// ---- The same conversions for ASCII str arguments (see Binding::ascii_impl). ----
// A text or request reads the str's own storage, which for an ASCII-only str is its
// ASCII bytes, NUL-terminated; any other conversion is given those bytes as an object.

// True for an exact str whose characters are all ASCII.
inline bool is_ascii_str(PyObject* obj) {
    if (!PyUnicode_CheckExact(obj)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(obj)) return false;
#endif
    return PyUnicode_IS_ASCII(obj);
}

// The str as the object the wrapper would have passed: its ASCII bytes.
inline Ref ascii_bytes(PyObject* str) { return Ref::steal(PyUnicode_AsASCIIString(str)); }

template <class Conv, class Storage>
bool convert_ascii(Conv*, PyObject* const* argv, Storage& s) {
    return Conv::convert(argv, s);  // takes no parameter
}

// `convert` applied to what the wrapper would have passed for `arg`.
template <class Convert>
bool convert_as_passed(PyObject* arg, Convert convert) {
    if (!PyUnicode_CheckExact(arg)) return convert(arg);
    Ref bytes = ascii_bytes(arg);
    return bytes && convert(bytes.get());
}

template <int I, class C, bool (*Convert)(PyObject*, C*)>
bool convert_ascii(Scalar<I, C, Convert>*, PyObject* const* argv, C& s) {
    return convert_as_passed(argv[I], [&](PyObject* obj) { return Convert(obj, &s); });
}

template <int I>
bool convert_ascii(IntAsFlag<I>*, PyObject* const* argv, int& s) {
    return convert_as_passed(argv[I], [&](PyObject* obj) { return to_int32(obj, &s); });
}

template <int I>
bool convert_ascii(Text<I>*, PyObject* const* argv, TextArg& s) {
    return s.convert_ascii(argv[I]);
}

template <int I>
bool convert_ascii(Request<I>*, PyObject* const* argv, RequestArg& s) {
    return s.convert_ascii(argv[I]);
}

// ---- Results: how the library call is made and what Python gets back. ----

// The library's int (or long long) result as a Python int.
struct ReturnInt {
    template <auto Fn, FixedString Function, class... A>
    static PyObject* call(A... a) {
        return PyLong_FromLongLong(Fn(a...));
    }
};

// Whatever the library returns is dropped.
struct ReturnNone {
    template <auto Fn, FixedString Function, class... A>
    static PyObject* call(A... a) {
        Fn(a...);
        Py_RETURN_NONE;
    }
};

// A library text, copied into bytes.
struct ReturnText {
    template <auto Fn, FixedString Function, class... A>
    static PyObject* call(A... a) {
        return text_result(Fn(a...), Function.c_str());
    }
};

// The library stores its response through two trailing out-parameters; Python gets
// (status, bytes) on success, (status, None) otherwise.
struct ReturnPair {
    template <auto Fn, FixedString Function, class... A>
    static PyObject* call(A... a) {
        char* response = nullptr;
        int length = -1;  // a length the library did not write reads as broken, never as garbage
        int status = Fn(a..., &response, &length);
        return response_pair(status, response, length, Function.c_str());
    }
};

// ---- Calling styles, chosen by the number of parameters. ----

template <FixedString Function, FixedString... Params>
struct Style {
    static constexpr Py_ssize_t count = sizeof...(Params);
    using List = ParamList<Function, sizeof...(Params), Params...>;

    static bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** argv) {
        if constexpr (count == 0) {
            return check_no_args(Function.c_str(), nargs, kwnames);
        } else if constexpr (count == 1) {
            if (!check_one_arg(Function.c_str(), nargs, kwnames)) return false;
            argv[0] = args[0];
            return true;
        } else {
            (void)List::registered;
            return parse_args(List::signature, args, nargs, kwnames, argv);
        }
    }

    static const char* signature() {
        static const char* text = text_signature(Function.c_str(), count, List::names, count > 1);
        return text;
    }
};

template <auto Fn, class Result, class Style, FixedString Function, class... Conv>
struct Call {
    template <bool Ascii, std::size_t... K>
    static PyObject* run([[maybe_unused]] PyObject* const* argv, std::index_sequence<K...>) {
        std::tuple<typename Conv::Storage...> storage;
        // Conversions run in library-argument order; the first failure stops them.
        if constexpr (Ascii) {
            if (!(convert_ascii(static_cast<Conv*>(nullptr), argv, std::get<K>(storage)) && ...))
                return nullptr;
        } else {
            if (!(Conv::convert(argv, std::get<K>(storage)) && ...)) return nullptr;
        }
        auto library_args = std::tuple_cat(Conv::args(std::get<K>(storage))...);
        return std::apply([](auto... a) { return Result::template call<Fn, Function>(a...); }, library_args);
    }

    template <bool Ascii>
    static PyObject* call(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        static constexpr auto where = FixedString("c_sdk.") + Function;
        PyObject* argv[Style::count > 0 ? Style::count : 1];
        if (!Style::parse(args, PyVectorcall_NARGS(nargsf), kwnames, argv)) [[unlikely]]
            return fail_in(where.c_str());
        PyObject* result = run<Ascii>(argv, std::index_sequence_for<Conv...>{});
        if (!result) [[unlikely]]
            return fail_in(where.c_str());
        return result;
    }

    static PyObject* impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return call<false>(args, nargsf, kwnames);
    }
    static PyObject* ascii_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return call<true>(args, nargsf, kwnames);
    }
};

// A binding row. `Style<"name", "param", ...>` names the function and its Python
// parameters; the conversions follow in library-argument order.
template <auto Fn, class Result, class StyleT, class... Conv>
struct Row;

template <auto Fn, class Result, FixedString Function, FixedString... Params, class... Conv>
struct Row<Fn, Result, Style<Function, Params...>, Conv...> {
    using S = Style<Function, Params...>;
    static constexpr Binding make(bool decorated) {
        using C = Call<Fn, Result, S, Function, Conv...>;
        return {Function.c_str(), &C::impl, decorated, &S::signature, &C::ascii_impl};
    }
};

// Serialised-request family: the shape follows from the library function's type.
using RequestResponseFn = int (*)(const char*, int, char**, int*);
using StatusOnlyFn = int (*)(const char*, int);
using ResponseOnlyFn = int (*)(char**, int*);

template <FixedString Function, auto Fn>
constexpr Binding request_binding(bool decorated) {
    using F = decltype(Fn);
    if constexpr (std::is_convertible_v<F, RequestResponseFn>)
        return Row<Fn, ReturnPair, Style<Function, "req">, Request<0>>::make(decorated);
    else if constexpr (std::is_convertible_v<F, StatusOnlyFn>)
        return Row<Fn, ReturnInt, Style<Function, "req">, Request<0>>::make(decorated);
    else if constexpr (std::is_convertible_v<F, ResponseOnlyFn>)
        return Row<Fn, ReturnPair, Style<Function>>::make(decorated);
    else
        static_assert(std::is_same_v<F, void>, "not a serialised-request library function");
}

// The family tables each module file exposes.
std::span<const Binding> request_bindings();
std::span<const Binding> session_bindings();
std::span<const Binding> market_bindings();
std::span<const Binding> event_bindings();
std::span<const Binding> timer_bindings();
std::span<const Binding> trading_bindings();

}  // namespace csdk
