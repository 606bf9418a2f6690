#include "journal.hpp"

#include <algorithm>
#include <cstring>

namespace standin {

void Rec::begin(const char* fn) {
    s_ = "{\"fn\":\"";
    s_ += fn;
    s_ += "\",\"args\":[";
}

Rec& Rec::text(const char* p) { return p ? bytes("str", p, std::strlen(p)) : null("str"); }

// The request is read only through a valid pointer with a non-negative length, and
// only up to the journal's request cap; whole while a replay compares it with the recording.
Rec& Rec::request(const char* p, int n) {
    if (p) {
        const auto size = static_cast<std::size_t>(std::max(n, 0));
        const auto cap = st.replay ? size : static_cast<std::size_t>(st.journal_request_cap);
        bytes("req", p, std::min(size, cap));
        if (size > cap) {
            s_.pop_back();  // reopen the object to add the full size
            s_ += ",\"truncated\":true,\"size\":" + std::to_string(size) + "}";
        }
    } else {
        null("req");
    }
    return i(n);
}

// Hex digits written straight into the entry: no intermediate copy of the bytes.
Rec& Rec::bytes(const char* k, const char* p, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    add(std::string("{\"k\":\"") + k + "\",\"null\":false,\"hex\":\"");
    s_.reserve(s_.size() + 2 * n + 2);
    for (std::size_t j = 0; j < n; ++j) {
        const auto c = static_cast<unsigned char>(p[j]);
        s_ += digits[c >> 4];
        s_ += digits[c & 15];
    }
    s_ += "\"}";
    return *this;
}

void trim_journal() {
    while (!st.journal.empty() && (static_cast<long long>(st.journal.size()) > st.journal_entry_cap ||
                                   st.journal_bytes > st.journal_byte_cap)) {
        st.journal_bytes -= static_cast<long long>(st.journal.front().size());
        st.journal.pop_front();
    }
}

}  // namespace standin
