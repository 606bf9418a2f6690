#include "orders.hpp"

#include "events.hpp"
#include "market.hpp"
#include "state.hpp"
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

namespace standin {

namespace {

struct JVal {
    enum Kind { Str, Num, Other } kind = Other;
    std::string s;
    double n = 0;
};

// Parses one flat JSON object; nested values are skipped. nullopt when malformed.
std::optional<std::map<std::string, JVal>> parse_object(std::string_view in) {
    std::size_t i = 0;
    auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    auto ws = [&] {
        while (i < in.size() && is_ws(in[i])) ++i;
    };
    auto lit = [&](char c) {
        ws();
        if (i < in.size() && in[i] == c) return ++i, true;
        return false;
    };
    auto str = [&](std::string& out) {
        if (i >= in.size() || in[i] != '"') return false;
        for (++i; i < in.size(); ++i) {
            char c = in[i];
            if (c == '"') return ++i, true;
            if (c == '\\') {
                if (++i >= in.size()) return false;
                switch (c = in[i]) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'f':
                        c = '\f';
                        break;
                    case 'u': {
                        unsigned cp = 0;
                        if (i + 4 >= in.size() ||
                            std::from_chars(in.data() + i + 1, in.data() + i + 5, cp, 16).ptr !=
                                in.data() + i + 5)
                            return false;
                        i += 4;
                        if (cp < 0x80) {
                            c = static_cast<char>(cp);
                            break;
                        }
                        if (cp < 0x800) {
                            out += static_cast<char>(0xC0 | (cp >> 6));
                        } else {
                            out += static_cast<char>(0xE0 | (cp >> 12));
                            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                        }
                        c = static_cast<char>(0x80 | (cp & 0x3F));
                        break;
                    }
                    default:
                        break;  // \" \\ \/ stand for themselves
                }
            }
            out += c;
        }
        return false;
    };
    auto skip_nested = [&] {
        int nest = 0;
        std::string scratch;
        while (i < in.size()) {
            const char c = in[i];
            if (c == '"') {
                if (!str(scratch)) return false;
                continue;
            }
            ++i;
            if (c == '{' || c == '[')
                ++nest;
            else if ((c == '}' || c == ']') && --nest == 0)
                return true;
        }
        return false;
    };

    std::map<std::string, JVal> out;
    if (!lit('{')) return std::nullopt;
    if (!lit('}')) {
        do {
            ws();
            std::string key;
            JVal v;
            if (!str(key) || !lit(':')) return std::nullopt;
            ws();
            if (i >= in.size()) return std::nullopt;
            if (in[i] == '"') {
                if (!str(v.s)) return std::nullopt;
                v.kind = JVal::Str;
            } else if (in[i] == '{' || in[i] == '[') {
                if (!skip_nested()) return std::nullopt;
            } else {
                const std::size_t b = i;
                while (i < in.size() && !is_ws(in[i]) && in[i] != ',' && in[i] != '}' && in[i] != ']') ++i;
                const std::string_view tok = in.substr(b, i - b);
                if (tok != "true" && tok != "false" && tok != "null") {
                    const auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v.n);
                    if (tok.empty() || r.ec != std::errc() || r.ptr != tok.data() + tok.size() ||
                        !std::isfinite(v.n))
                        return std::nullopt;
                    v.kind = JVal::Num;
                }
            }
            out[std::move(key)] = std::move(v);
        } while (lit(','));
        if (!lit('}')) return std::nullopt;
    }
    ws();
    if (i != in.size()) return std::nullopt;
    return out;
}

}  // namespace

std::optional<Order> parse_order(const char* req, int n) {
    if (!req || n <= 0) return std::nullopt;
    const auto obj = parse_object(std::string_view(req, static_cast<std::size_t>(n)));
    if (!obj) return std::nullopt;
    auto get = [&](const char* k, JVal::Kind kind) -> const JVal* {
        const auto it = obj->find(k);
        return it != obj->end() && it->second.kind == kind ? &it->second : nullptr;
    };
    const JVal* sym = get("symbol", JVal::Str);
    const JVal* vol = get("volume", JVal::Num);
    const JVal* side = get("side", JVal::Num);
    const JVal* price = get("price", JVal::Num);
    if (!sym || sym->s.empty() || !vol || vol->n < 1 || vol->n > 1e9 || vol->n != std::floor(vol->n))
        return std::nullopt;
    if (!side || (side->n != 1 && side->n != 2)) return std::nullopt;
    if (obj->count("price") && (!price || price->n < 0 || price->n > 1e7)) return std::nullopt;
    Order o{sym->s, static_cast<long long>(vol->n), static_cast<int>(side->n), 0};
    // No price or 0: a market order at the simulated price. A limit price must be a whole
    // number of cents (0.001 is not a price here, nor is 10.005).
    if (price && price->n > 0) {
        o.price = std::llround(price->n * 100);
        if (o.price < 1 || std::fabs(price->n * 100 - static_cast<double>(o.price)) > 1e-6)
            return std::nullopt;
    } else {
        o.price = price_at(o.symbol, st.now);
    }
    return o;
}

std::string fill(const Order& o) {
    const std::string id = std::to_string(st.next_order_id++);
    const long long amount = o.price * o.volume;  // cents; bounded by the parse limits
    const long long q = o.side == 1 ? o.volume : -o.volume;
    Position& pos = st.positions[o.symbol];
    if (pos.volume == 0 || (pos.volume > 0) == (q > 0)) {  // opens or adds
        pos.open_volume += o.volume;
        pos.open_cost += static_cast<__int128>(amount);
    } else if (o.volume > std::llabs(pos.volume)) {  // closes and opens the other side
        pos.open_volume = o.volume - std::llabs(pos.volume);
        pos.open_cost = static_cast<__int128>(pos.open_volume) * o.price;
    }  // a fill that only reduces the position leaves its average price as it is
    pos.volume += q;
    if (pos.volume == 0) st.positions.erase(o.symbol);
    st.cash = sat_add(st.cash, o.side == 1 ? -amount : amount);

    const std::string common = ",\"symbol\":" + quoted(o.symbol) + ",\"side\":" + std::to_string(o.side) +
                               ",\"volume\":" + std::to_string(o.volume) + ",\"price\":" + cents(o.price);
    st.queue.push_back(
        {session_event("execution_report", "{\"order_id\":\"" + id + "\",\"exec_id\":\"" + id + "\"" +
                                               common + ",\"amount\":" + cents(amount) +
                                               ",\"created_at\":" + std::to_string(st.now) + "}"),
         1});
    return "{\"order_id\":\"" + id + "\",\"status\":\"filled\"" + common +
           ",\"filled_volume\":" + std::to_string(o.volume) + ",\"filled_amount\":" + cents(amount) +
           ",\"created_at\":" + std::to_string(st.now) + "}";
}

namespace {

// The average price of the opening fills, open_cost / open_volume cents, as a decimal
// with four places rounded half up: exact, whatever the volumes.
std::string vwap_text(const Position& p) {
    const __int128 v = std::max<long long>(p.open_volume, 1);
    const __int128 units = (p.open_cost * 200 + v) / (2 * v);  // ten-thousandths
    const auto whole = static_cast<unsigned long long>(units / 10000);
    const auto frac = static_cast<unsigned>(units % 10000);
    char b[48];
    std::snprintf(b, sizeof b, "%llu.%04u", whole, frac);
    return b;
}

}  // namespace

std::string positions_json() {
    std::string j = "[";
    for (const auto& [sym, p] : st.positions) {
        if (j.size() > 1) j += ',';
        j += "{\"symbol\":" + quoted(sym) + ",\"volume\":" + std::to_string(p.volume) +
             ",\"vwap\":" + vwap_text(p) + "}";
    }
    return j + "]";
}

namespace {

// Open positions are valued at their average price: open_cost scaled to the volume still
// held, rounded half up to the cent (exact whenever the average is a whole cent).
long long held_cost(const Position& p) {
    const __int128 v = std::max<long long>(p.open_volume, 1);
    const __int128 magnitude = (p.open_cost * std::llabs(p.volume) * 2 + v) / (2 * v);
    const __int128 limited = std::min<__int128>(magnitude, LLONG_MAX);
    return p.volume < 0 ? -static_cast<long long>(limited) : static_cast<long long>(limited);
}

}  // namespace

std::string cash_json() {
    long long market = 0;
    for (const auto& [sym, p] : st.positions) market = sat_add(market, held_cost(p));
    return "{\"available\":" + cents(st.cash) + ",\"market_value\":" + cents(market) +
           ",\"nav\":" + cents(sat_add(st.cash, market)) + "}";
}

}  // namespace standin
