// Module-level helpers bound beside the library bindings.
#pragma once

#include <span>

#include "../bindings/binding.hpp"

namespace csdk {

// is_windows, is_linux, adapt_to_python3.
std::span<const Binding> compat_bindings();
// c_status_ok, c_status_fail.
std::span<const Binding> status_bindings();

// Prepares what the decorator's wrappers need (once per process).
bool init_compat();

}  // namespace csdk
