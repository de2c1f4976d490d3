// MorvReceipt: the immutable record of one authorization, re-verifiable
// against any key.
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "binding/entry.h"
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

    std::string action_id;
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
Ref get_receipt_hash(MorvReceipt& self) {
    return Ref::steal(bytes_to_python(self.serialized.data(), self.serialized.size()));
}

// Answers only whether the stored fields carry a valid tag under `key`.
bool verify(MorvReceipt& self, BytesArg key) {
    const std::optional<sec::Key> key_bytes = boundary_key(key);
    if (!key_bytes) return false;
    return sec::verify_tag(*key_bytes, sec::deserialize_receipt(self.serialized),
                           sec::action_id_bytes(self.action_id),
                           sec::command_payload(self.requested_position, self.commanded_velocity))
        .ok();
}

constexpr const char* kVerifyParams[] = {"key"};
constexpr FunctionDescription kVerify{"MorvReceipt", "verify", kVerifyParams, 1, 1};

PyMethodDef methods[] = {
    method_def<verify, kVerify>(
        "verify($self, key)\n--\n\nRe-verify this receipt against a 32-byte boundary key."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    getter_def<get_is_authorized>("is_authorized"),
    getter_def<get_sequence_id>("sequence_id"),
    getter_def<get_timestamp_nanos>("timestamp_nanos"),
    getter_def<get_receipt_hash>("receipt_hash"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDecl MorvReceipt::declaration{
    .name = "MorvReceipt",
    .doc = "Replay-resistant authorization receipt returned by `MorvBoundary`.",
    .text_signature = nullptr,
    .base = nullptr,
    .basicsize = sizeof(Instance<MorvReceipt>),
    .constructor = nullptr,
    .methods = methods,
    .properties = properties,
    .special_slots = nullptr,
    .dealloc = &default_dealloc<MorvReceipt>,
};

ClassDecl& morv_receipt_class() { return MorvReceipt::declaration; }

Result<Ref> new_receipt(std::string action_id, double requested_position,
                        double commanded_velocity, const sec::AuthorizationReceipt& receipt) {
    MorvReceipt value{std::move(action_id), receipt.sequence_id, receipt.timestamp_nanos,
                      requested_position, commanded_velocity, {}, true};
    sec::serialize_receipt(receipt, value.serialized);
    return new_instance<MorvReceipt>(require_type_object(MorvReceipt::declaration),
                                     std::move(value));
}

}  // namespace morvex::ext
