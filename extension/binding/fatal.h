// The end of the road for a broken internal invariant: a diagnostic on stderr,
// then abort(). Never turned into a Python exception.
#pragma once

#include <cstddef>
#include <source_location>

namespace morvex::ext {

[[noreturn]] void fatal_error(const char* message,
                              std::source_location where = std::source_location::current());

// Prints the pending Python error first (PyErr_Print), then dies with `message`.
[[noreturn]] void fatal_python_error(const char* message,
                                     std::source_location where = std::source_location::current());

[[noreturn]] void fatal_allocation_error(std::size_t bytes,
                                         std::source_location where = std::source_location::current());

// Result objects (floats, ints, strings, lists) that cannot be created.
template <class T>
T* check_created(T* obj, std::source_location where = std::source_location::current()) {
    if (obj == nullptr) fatal_python_error("Python API call failed", where);
    return obj;
}

}  // namespace morvex::ext
