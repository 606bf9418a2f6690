#include "text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace standin {

void quote(std::string& out, std::string_view s) {
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += ch;
        }
    }
    out += '"';
}

std::string quoted(std::string_view s) {
    std::string out;
    quote(out, s);
    return out;
}

std::string real(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    char b[40];
    const auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::general, 17);
    std::string s(b, r.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";  // stays a real: keeps -0.0
    return s;
}

std::string cents(long long c) {
    const unsigned long long a = c < 0 ? 0ULL - static_cast<unsigned long long>(c) : c;
    char b[32];
    std::snprintf(b, sizeof b, "%s%llu.%02llu", c < 0 ? "-" : "", a / 100, a % 100);
    return b;
}

std::uint64_t fnv(std::string_view s) {
    std::uint64_t h = 1469598103934665603ULL;
    for (const char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

std::string text_or_empty(const char* p) { return p ? std::string(p) : std::string(); }

}  // namespace standin
