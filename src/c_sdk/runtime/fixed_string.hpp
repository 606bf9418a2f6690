// Compile-time strings usable as template arguments: a binding's Python name and
// parameter names travel with its call template, so each binding is one line.
#pragma once

#include <cstddef>

namespace csdk {

template <std::size_t N>
struct FixedString {
    char data[N]{};
    constexpr FixedString(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) data[i] = text[i];
    }
    constexpr FixedString() = default;
    static constexpr std::size_t size = N - 1;
    constexpr const char* c_str() const { return data; }
};

template <std::size_t A, std::size_t B>
constexpr FixedString<A + B - 1> operator+(const FixedString<A>& a, const FixedString<B>& b) {
    FixedString<A + B - 1> out;
    for (std::size_t i = 0; i < A - 1; ++i) out.data[i] = a.data[i];
    for (std::size_t i = 0; i < B; ++i) out.data[A - 1 + i] = b.data[i];
    return out;
}

}  // namespace csdk
