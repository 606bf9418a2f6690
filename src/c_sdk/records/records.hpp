// Record classes: thin views over a storage mapping (normally a dict) that read and
// write its keys as attributes, items and named properties. Strategies read them on
// every tick, so each is a native type whose attribute read over a plain dict costs
// about one dict lookup, while its class still looks like an ordinary Python class.
#pragma once

#include <Python.h>

#include <span>

namespace csdk {

struct RecordClass {
    const char* name;
    PyObject* (*create)();  // new reference to the class, or null with an exception set
};

// QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2, ObjectLikeDict2, in that order.
// Each create() builds a fresh class and may be called again after a failed import.
std::span<const RecordClass> record_classes();

}  // namespace csdk
