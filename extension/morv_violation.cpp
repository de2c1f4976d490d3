// MorvViolation: the exception of a refused action request, and the mapping of
// security errors into it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/declare.h"
#include "classes.h"

namespace morvex::ext {
namespace {

struct MorvViolation {
    using PythonHead = PyBaseExceptionObject;
    static ClassDecl declaration;

    std::int32_t axis;
    std::string violation_type;
    std::string message;
};

PyObject* exception_base() { return PyExc_Exception; }

// The inherited exception initialiser runs after this and sets `args`.
Result<Ref> violation_new(PyTypeObject* type, std::int32_t axis, StrArg violation_type,
                          StrArg message) {
    return new_instance<MorvViolation>(
        type, MorvViolation{axis, std::string(violation_type.text), std::string(message.text)});
}

std::int32_t get_axis(MorvViolation& self) { return self.axis; }
std::string_view get_violation_type(MorvViolation& self) { return self.violation_type; }
std::string_view get_message(MorvViolation& self) { return self.message; }

std::string describe(MorvViolation& self) {
    return "MorvViolation(axis=" + std::to_string(self.axis) +
           ", violation_type=" + self.violation_type + "): " + self.message;
}

}  // namespace

ClassDecl MorvViolation::declaration = declare_class<MorvViolation>({
    .name = "MorvViolation",
    .doc = "Exception raised when an action request violates the Morvex boundary.",
    .base = &exception_base,
    .constructor = constructor<violation_new>(arg("axis", 0), arg("violation_type", "", "..."),
                                              arg("message", "", "...")),
    .properties = {
        property<get_axis>("axis"),
        property<get_violation_type>("violation_type"),
        property<get_message>("message"),
    },
    .slots = {unary_slot<describe>(Py_tp_str)},
});

ClassDecl& morv_violation_class() { return MorvViolation::declaration; }

// While the class keeps its own constructor and the inherited initialiser,
// calling it with `args` yields exactly this object, built without the call.
PendingError violation(std::int32_t axis, std::string_view violation_type,
                       std::string_view message) {
    PyTypeObject* type = require_type_object(MorvViolation::declaration);
    Ref args = Ref::steal(check_created(PyTuple_New(3)));
    PyTuple_SET_ITEM(args.get(), 0, to_python(axis));
    PyTuple_SET_ITEM(args.get(), 1, to_python(violation_type));
    PyTuple_SET_ITEM(args.get(), 2, to_python(message));
    const auto* base = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
    if (type->tp_new != MorvViolation::declaration.constructor.entry || type->tp_init != base->tp_init) {
        return PendingError::with_args(reinterpret_cast<PyObject*>(type), std::move(args));
    }
    auto made = new_instance<MorvViolation>(
        type, MorvViolation{axis, std::string(violation_type), std::string(message)});
    if (!made.ok()) return made.take_error();
    auto* exception = reinterpret_cast<PyBaseExceptionObject*>(made->get());
    Py_SETREF(exception->args, args.release());
    return PendingError::with_exception(std::move(*made));
}

PendingError morv_error_to_py_err(std::int32_t axis, security::SecurityError error) {
    return violation(axis, security::code_string(error), security::message(error));
}

}  // namespace morvex::ext
