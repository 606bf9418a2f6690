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
    // The value is digits x 10^exponent.
    std::string digits;
    long long exponent = scale;
    std::size_t i = number[0] == '-' ? 1 : 0;
    for (; i < number.size() && is_digit(number[i]); ++i) digits += number[i];
    if (i < number.size() && number[i] == '.')
        for (++i; i < number.size() && is_digit(number[i]); ++i, --exponent) digits += number[i];
    if (i < number.size()) {  // the exponent part
        const bool negative = number[++i] == '-';
        if (number[i] == '+' || number[i] == '-') ++i;
        long long e = 0;  // capped far beyond any digit count that could make up for it
        for (; i < number.size(); ++i) e = std::min(e * 10 + (number[i] - '0'), 1000000000LL);
        exponent += negative ? -e : e;
    }
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;  // any zero, -0 included
    digits.erase(0, first);
    while (digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    if (exponent < 0) return std::nullopt;  // a fraction of the unit is left
    if (static_cast<long long>(digits.size()) + exponent > 18) return std::nullopt;
    long long value = 0;
    for (const char c : digits) value = value * 10 + (c - '0');
    for (long long k = 0; k < exponent; ++k) value *= 10;
    if (value > limit) return std::nullopt;
    return number[0] == '-' ? -value : value;
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
