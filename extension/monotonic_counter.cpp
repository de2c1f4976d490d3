// MonotonicCounter: hands out increasing unsigned 64-bit values without a lock.
#include <atomic>
#include <cstdint>
#include <optional>

#include "binding/entry.h"
#include "classes.h"

namespace morvex::ext {
namespace {

struct MonotonicCounter {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    explicit MonotonicCounter(std::uint64_t initial) : value(initial) {}
    std::atomic<std::uint64_t> value;
};

Result<Ref> counter_new(PyTypeObject* type, std::optional<std::uint64_t> initial_value) {
    return new_instance<MonotonicCounter>(type, initial_value.value_or(0));
}

// One atomic read-modify-write; wraps from 2**64 - 1 to 0 without an error.
std::uint64_t next_value(MonotonicCounter& self) { return self.value.fetch_add(1) + 1; }

std::uint64_t current_value(MonotonicCounter& self) { return self.value.load(); }

constexpr const char* kNewParams[] = {"initial_value"};
constexpr FunctionDescription kNew{"MonotonicCounter", "__new__", kNewParams, 1, 0};

PyMethodDef methods[] = {
    noargs_def<next_value>("next_value",
                           "next_value($self)\n--\n\nReturn the next strictly greater counter value."),
    noargs_def<current_value>(
        "current_value",
        "current_value($self)\n--\n\nReturn the current counter value without advancing it."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassDecl MonotonicCounter::declaration{
    .name = "MonotonicCounter",
    .doc = "A monotonically increasing 64-bit counter.",
    .text_signature = "(initial_value=0)",
    .base = nullptr,
    .basicsize = sizeof(Instance<MonotonicCounter>),
    .constructor = &constructor<counter_new, kNew>,
    .methods = methods,
    .properties = nullptr,
    .special_slots = nullptr,
    .dealloc = &default_dealloc<MonotonicCounter>,
};

ClassDecl& monotonic_counter_class() { return MonotonicCounter::declaration; }

}  // namespace morvex::ext
