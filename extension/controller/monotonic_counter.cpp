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

// One atomic compare-and-swap; wraps from 2**64 - 1 to 0 without an error. The
// answer is made before the counter moves, so a failure consumes no value.
Result<Ref> next_value(MonotonicCounter& self) {
    std::uint64_t current = self.value.load();
    for (;;) {
        MORVEX_TRY(answer, created(to_python(current + 1)));
        if (self.value.compare_exchange_weak(current, current + 1)) return std::move(answer);
    }
}

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
