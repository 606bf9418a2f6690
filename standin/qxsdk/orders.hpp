// Orders, positions and cash: fills at once, money kept in whole cents.
#pragma once

#include <optional>
#include <string>

namespace standin {

struct Order {
    std::string symbol;
    long long volume;
    int side;         // 1 buy, 2 sell
    long long price;  // cents
};

// The order a qxi_place_order_pb request describes; nullopt when it is malformed.
std::optional<Order> parse_order(const char* req, int n);
// Fills the order at once; returns the response and queues the execution report.
std::string fill(const Order& o);
// The qxi_get_positions_pb response.
std::string positions_json();
// The qxi_get_cash_pb response.
std::string cash_json();

}  // namespace standin
