// Text and arithmetic helpers: JSON strings, exact decimals, saturating sums.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace standin {

// Appends s as a JSON string; bytes >= 0x80 pass through untouched.
void quote(std::string& out, std::string_view s);
std::string quoted(std::string_view s);
// Full precision and locale-independent; non-finite values as the tokens Python accepts.
std::string real(double v);
// Prices and amounts are kept in integer cents so their decimal form is exact.
std::string cents(long long c);
// The length of the JSON number at the start of s (RFC 8259: no leading zeros, digits on
// both sides of a point, no sign but a leading minus), or 0 when s starts with none.
std::size_t json_number_length(std::string_view s);
// The JSON number `number` times 10^scale when that is a whole number of magnitude at most
// `limit` (below 10^18), read from its decimal text: 10.000000001 is no whole number of
// cents, although a double would take it for 10.00. nullopt otherwise.
std::optional<long long> scaled_whole(std::string_view number, int scale, long long limit);
std::uint64_t fnv(std::string_view s);
std::string text_or_empty(const char* p);

inline long long sat_add(long long a, long long b) {
    long long r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? LLONG_MAX : LLONG_MIN;
    return r;
}

inline long long floor_div(long long a, long long b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The next id from `next`, which wraps to 1 after INT_MAX.
inline int take_id(int& next) {
    const int id = next;
    next = next == INT_MAX ? 1 : next + 1;
    return id;
}

}  // namespace standin
