// The classes of the module and what they offer each other.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/convert.h"
#include "binding/type.h"
#include "front_end.h"
#include "morvex/security/command.h"
#include "morvex/security/crypto.h"
#include "morvex/security/error.h"

namespace morvex::ext {

ClassDecl& morv_boundary_class();
ClassDecl& morv_receipt_class();
ClassDecl& morv_violation_class();
ClassDecl& monotonic_counter_class();
ClassDecl& governor_class();

// A MorvViolation to be raised, with args (axis, violation_type, message).
PendingError violation(std::int32_t axis, std::string_view violation_type,
                       std::string_view message);
PendingError violation(std::int32_t axis, std::string_view violation_type, Ref message);
PendingError morv_error_to_py_err(std::int32_t axis, security::SecurityError error);

// A MorvReceipt allocated before an authorization is committed, so that
// nothing can fail once it is: fill_receipt completes it for the accepted
// receipt, or it is dropped unseen.
Result<Ref> reserve_receipt();
void fill_receipt(PyObject* reserved, const security::AxisActionId& id, double requested_position,
                  double commanded_velocity, const security::AuthorizationReceipt& receipt);

}  // namespace morvex::ext
