// ReceiptGate: the actuator side's check of receipts, the C receipt gate
// behind its own lock.
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>

#include "actuator.h"
#include "binding/declare.h"
#include "front_end.h"
#include "morvex/security/boundary.h"
#include "morvex/receipt_gate.h"

namespace morvex::ext {
namespace {

namespace sec = morvex::security;

struct ReceiptGate {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    ReceiptGate(const sec::Key& key, std::uint64_t last_sequence_id, std::uint64_t max_age_ns) {
        // Cannot fail: the gate and the key are valid and 32 bytes.
        (void)morvex_receipt_gate_init(&gate, key.data(), key.size(), last_sequence_id, max_age_ns);
    }
    ~ReceiptGate() { morvex_receipt_gate_wipe(&gate); }
    ReceiptGate(const ReceiptGate&) = delete;
    ReceiptGate& operator=(const ReceiptGate&) = delete;

    std::mutex mutex;
    morvex_receipt_gate gate;  // guarded by `mutex`
};

// Seconds to whole nanoseconds, rounded up so that a positive age never
// becomes 0 (which would switch the check off); ages beyond the clock's range
// saturate.
std::uint64_t age_in_nanos(double seconds) {
    const double nanos = std::ceil(seconds * 1e9);
    if (nanos >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(nanos);
}

Result<Ref> receipt_gate_new(PyTypeObject* type, OrNone<BytesArg> hmac_key,
                             std::uint64_t last_sequence_id, OrNone<double> max_age_s) {
    const KeyCopy key = chosen_key(hmac_key);
    if (!key) {
        return PendingError::with_message(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
    }
    std::uint64_t max_age_ns = 0;
    if (max_age_s.value) {
        if (!(*max_age_s.value > 0)) {  // also refuses NaN
            return PendingError::with_message(PyExc_ValueError,
                                              "max_age_s must be a positive number of seconds or None");
        }
        max_age_ns = age_in_nanos(*max_age_s.value);
    }
    return new_instance<ReceiptGate>(type, *key, last_sequence_id, max_age_ns);
}

Result<Ref> check(ReceiptGate& self, BytesArg receipt_hash, std::int32_t target_axis,
                  double requested_position, double commanded_velocity) {
    // The answer, the receipt's own sequence id, is made before the gate can
    // record the receipt: once it is accepted, nothing can fail.
    Ref answer;
    std::uint64_t announced = 0;
    if (receipt_hash.size == sec::SERIALIZED_RECEIPT_LEN) {
        announced = sec::deserialize_receipt(
                        std::span<const std::uint8_t, sec::SERIALIZED_RECEIPT_LEN>(
                            receipt_hash.data, sec::SERIALIZED_RECEIPT_LEN))
                        .sequence_id;
        MORVEX_TRY(made, created(to_python(announced)));
        answer = std::move(made);
    }
    std::uint32_t result;
    std::uint64_t accepted;
    {
        std::lock_guard<std::mutex> guard(self.mutex);
        result = morvex_receipt_gate_check(
            &self.gate, reinterpret_cast<const std::uint8_t*>(receipt_hash.data), receipt_hash.size,
            target_axis, requested_position, commanded_velocity, now_nanos());
        accepted = morvex_receipt_gate_last_sequence_id(&self.gate);
    }
    if (result != MORVEX_GATE_ACCEPTED) return refusal(target_axis, result);
    if (!answer || accepted != announced) fatal_error("the receipt gate accepted another sequence id");
    return answer;
}

std::uint64_t get_last_sequence_id(ReceiptGate& self) {
    std::lock_guard<std::mutex> guard(self.mutex);
    return morvex_receipt_gate_last_sequence_id(&self.gate);
}

}  // namespace

ClassDecl ReceiptGate::declaration = declare_class<ReceiptGate>({
    .name = "ReceiptGate",
    .doc = "Checks receipts where the command is executed: a command is accepted only with a "
           "receipt issued for exactly that command, under the gate's key, once, in order, and "
           "within max_age_s of now when that is set.",
    .constructor = constructor<receipt_gate_new>(arg("hmac_key", none), arg("last_sequence_id", 0),
                                                 arg("max_age_s", none)),
    .methods = {method<check>("check",
                              "Accept a command with its receipt and return the receipt's "
                              "sequence id, or raise MorvViolation.",
                              arg("receipt_hash"), arg("target_axis"), arg("requested_position"),
                              arg("commanded_velocity"))},
    .properties = {property<get_last_sequence_id>("last_sequence_id")},
});

ClassDecl& receipt_gate_class() { return ReceiptGate::declaration; }

}  // namespace morvex::ext
