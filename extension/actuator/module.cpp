// Module entry of morvex._actuator: the classes used where commands are
// executed. Refusals raise morvex._morvex.MorvViolation, imported here once.
#include <Python.h>

#include "actuator.h"
#include "binding/convert.h"
#include "binding/fatal.h"
#include "binding/module.h"
#include "morvex/receipt_gate.h"

namespace morvex::ext {
namespace {

ClassDecl* const kRegistered[] = {&receipt_gate_class(), &coupled_limits_class()};

PyObject* violation_class = nullptr;  // lives until the process ends

Result<void> run_body(PyObject* module) {
    if (violation_class == nullptr) {
        Ref native = Ref::steal(PyImport_ImportModule("morvex._morvex"));
        if (!native) return PendingError::fetch();
        violation_class = PyObject_GetAttrString(native.get(), "MorvViolation");
        if (violation_class == nullptr) return PendingError::fetch();
    }
    for (ClassDecl* decl : kRegistered) {
        MORVEX_TRY(type, get_type_object(*decl));
        MORVEX_TRY_VOID(add_to_module(module, decl->name, reinterpret_cast<PyObject*>(type)));
    }
    return add_wire(module);
}

ModuleDecl module_decl = {
    .def = {PyModuleDef_HEAD_INIT, "_actuator",
            "Classes of the actuator side: receipt checking, exact coupled limits and the wire "
            "codec.",
            0, nullptr, nullptr, nullptr, nullptr, nullptr},
    .body = run_body,
};

}  // namespace

PendingError refusal(std::int32_t axis, std::uint32_t gate_result) {
    const char* code = morvex_gate_code_string(gate_result);
    const char* message = morvex_gate_message(gate_result);
    if (code == nullptr || message == nullptr) fatal_error("the receipt gate answered an unknown result");
    MORVEX_TRY(args, created(Py_BuildValue("(iss)", static_cast<int>(axis), code, message)));
    return PendingError::with_args(violation_class, std::move(args));
}

}  // namespace morvex::ext

PyMODINIT_FUNC PyInit__actuator() {
    return morvex::ext::initialise_module(morvex::ext::module_decl);
}
