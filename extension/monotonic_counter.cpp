// MonotonicCounter: hands out increasing unsigned 64-bit values without a lock.
#include <atomic>
#include <cstdint>

#include "binding/declare.h"
#include "classes.h"

namespace morvex::ext {
namespace {

struct MonotonicCounter {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    explicit MonotonicCounter(std::uint64_t initial) : value(initial) {}
    std::atomic<std::uint64_t> value;
};

Result<Ref> counter_new(PyTypeObject* type, std::uint64_t initial_value) {
    return new_instance<MonotonicCounter>(type, initial_value);
}

// One atomic read-modify-write; wraps from 2**64 - 1 to 0 without an error.
std::uint64_t next_value(MonotonicCounter& self) { return self.value.fetch_add(1) + 1; }

std::uint64_t current_value(MonotonicCounter& self) { return self.value.load(); }

}  // namespace

ClassDecl MonotonicCounter::declaration = declare_class<MonotonicCounter>({
    .name = "MonotonicCounter",
    .doc = "A monotonically increasing 64-bit counter.",
    .constructor = constructor<counter_new>(arg("initial_value", 0)),
    .methods = {
        method<next_value>("next_value", "Return the next strictly greater counter value."),
        method<current_value>("current_value",
                              "Return the current counter value without advancing it."),
    },
});

ClassDecl& monotonic_counter_class() { return MonotonicCounter::declaration; }

}  // namespace morvex::ext
