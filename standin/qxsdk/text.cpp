#include "text.hpp"

#include <algorithm>
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

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::size_t json_number_length(std::string_view s) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t from = i;
        while (i < s.size() && is_digit(s[i])) ++i;
        return i > from;
    };
    if (i < s.size() && s[i] == '-') ++i;
    if (i < s.size() && s[i] == '0')
        ++i;
    else if (!digits())
        return 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (!digits()) return 0;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits()) return 0;
    }
    return i;
}

std::optional<long long> scaled_whole(std::string_view number, int scale, long long limit) {
    if (number.empty() || json_number_length(number) != number.size()) return std::nullopt;
    const bool negative = number[0] == '-';
    const std::size_t exponent_at = std::min(number.find_first_of("eE"), number.size());
    // The value is the mantissa's digits (the point left out) x 10^exponent.
    const std::string_view mantissa = number.substr(negative, exponent_at - negative);
    const std::size_t point = mantissa.find('.');
    long long exponent =
        scale - static_cast<long long>(point == std::string_view::npos ? 0 : mantissa.size() - point - 1);
    if (exponent_at < number.size()) {
        std::size_t i = exponent_at + 1;
        const bool below_one = number[i] == '-';
        if (number[i] == '+' || number[i] == '-') ++i;
        long long e = 0;  // capped far beyond the digits any request can hold
        for (; i < number.size(); ++i) e = std::min(e * 10 + (number[i] - '0'), 1000000000000000LL);
        exponent += below_one ? -e : e;
    }
    // The significant digits: from the first to the last that is not a zero.
    const std::size_t first = mantissa.find_first_not_of("0.");
    if (first == std::string_view::npos) return 0;  // any zero, -0 included
    const std::size_t last = mantissa.find_last_not_of("0.");
    const bool point_inside = point != std::string_view::npos && point > first && point < last;
    const bool point_after = point != std::string_view::npos && point > last;
    exponent += static_cast<long long>(mantissa.size() - 1 - last) - (point_after ? 1 : 0);
    const long long count = static_cast<long long>(last - first + 1) - (point_inside ? 1 : 0);
    if (exponent < 0) return std::nullopt;  // a fraction of the unit is left
    if (count + exponent > 18) return std::nullopt;
    long long value = 0;
    for (std::size_t k = first; k <= last; ++k)
        if (mantissa[k] != '.') value = value * 10 + (mantissa[k] - '0');
    for (long long k = 0; k < exponent; ++k) value *= 10;
    if (value > limit) return std::nullopt;
    return negative ? -value : value;
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
