// MorvReceipt: the immutable record of one authorization, re-verifiable
// against any key.
#include <array>
#include <cstdint>

#include "binding/declare.h"
#include "classes.h"
#include "morvex/security/boundary.h"
#include "morvex/security/command.h"
#include "morvex/security/crypto.h"

namespace morvex::ext {
namespace {

namespace sec = morvex::security;

struct MorvReceipt {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    sec::AxisActionId action_id;
    std::uint64_t sequence_id;
    std::uint64_t timestamp_nanos;
    double requested_position;
    double commanded_velocity;
    std::array<std::uint8_t, sec::SERIALIZED_RECEIPT_LEN> serialized;
    bool is_authorized;
};

bool get_is_authorized(MorvReceipt& self) { return self.is_authorized; }
std::uint64_t get_sequence_id(MorvReceipt& self) { return self.sequence_id; }
std::uint64_t get_timestamp_nanos(MorvReceipt& self) { return self.timestamp_nanos; }
Result<Ref> get_receipt_hash(MorvReceipt& self) {
    return created(bytes_to_python(self.serialized.data(), self.serialized.size()));
}

// Answers only whether the stored fields carry a valid tag under `key`.
bool verify(MorvReceipt& self, BytesArg key) {
    const KeyCopy key_bytes = boundary_key(key);
    if (!key_bytes) return false;
    return sec::verify_tag(*key_bytes, sec::deserialize_receipt(self.serialized),
                           self.action_id.bytes(),
                           sec::command_payload(self.requested_position, self.commanded_velocity))
        .ok();
}

}  // namespace

ClassDecl MorvReceipt::declaration = declare_class<MorvReceipt>({
    .name = "MorvReceipt",
    .doc = "Replay-resistant authorization receipt returned by `MorvBoundary`.",
    .methods = {method<verify>("verify", "Re-verify this receipt against a 32-byte boundary key.",
                               arg("key"))},
    .properties = {
        property<get_is_authorized>("is_authorized"),
        property<get_sequence_id>("sequence_id"),
        property<get_timestamp_nanos>("timestamp_nanos"),
        property<get_receipt_hash>("receipt_hash"),
    },
});

ClassDecl& morv_receipt_class() { return MorvReceipt::declaration; }

Result<Ref> reserve_receipt() {
    return new_instance<MorvReceipt>(require_type_object(MorvReceipt::declaration), MorvReceipt{});
}

void fill_receipt(PyObject* reserved, const sec::AxisActionId& id, double requested_position,
                  double commanded_velocity, const sec::AuthorizationReceipt& receipt) {
    MorvReceipt& value = value_of<MorvReceipt>(reserved);
    value = MorvReceipt{id, receipt.sequence_id, receipt.timestamp_nanos, requested_position,
                        commanded_velocity, {}, true};
    sec::serialize_receipt(receipt, value.serialized);
}

}  // namespace morvex::ext
