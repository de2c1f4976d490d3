// The classes of morvex._actuator, the module of the actuator side (receipt
// checking, exact coupled limits and the wire codec), and what they share.
#pragma once

#include <cstdint>

#include "binding/error.h"
#include "binding/type.h"

namespace morvex::ext {

ClassDecl& receipt_gate_class();
ClassDecl& coupled_limits_class();

// The wire codec's functions and named tuples (morvex.wire), added to the module.
Result<void> add_wire(PyObject* module);

// A MorvViolation of morvex._morvex (the one class, whichever module raises
// it) with the code string and message of a receipt gate's result.
PendingError refusal(std::int32_t axis, std::uint32_t gate_result);

}  // namespace morvex::ext
