// MorvViolation: the exception of a refused action request, and the mapping of
// security errors into it.
#include <cstdint>
#include <iterator>
#include <string_view>

#include "binding/declare.h"
#include "classes.h"

namespace morvex::ext {
namespace {

struct MorvViolation {
    using PythonHead = PyBaseExceptionObject;
    static ClassDecl declaration;

    std::int32_t axis;
    Ref violation_type;  // exact str objects, as the getters hand them out
    Ref message;
};

PyObject* exception_base() { return PyExc_Exception; }

// The inherited exception initialiser runs after this and sets `args`.
Result<Ref> violation_new(PyTypeObject* type, std::int32_t axis, StrArg violation_type,
                          StrArg message) {
    return new_instance<MorvViolation>(
        type, MorvViolation{axis, Ref::steal(to_python(violation_type.text)),
                            Ref::steal(to_python(message.text))});
}

std::int32_t get_axis(MorvViolation& self) { return self.axis; }
Ref get_violation_type(MorvViolation& self) { return Ref::borrow(self.violation_type.get()); }
Ref get_message(MorvViolation& self) { return Ref::borrow(self.message.get()); }

Ref describe(MorvViolation& self) {
    return Ref::steal(check_created(
        PyUnicode_FromFormat("MorvViolation(axis=%d, violation_type=%U): %U", self.axis,
                             self.violation_type.get(), self.message.get())));
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

namespace {

// The violation types are a handful of fixed texts; each becomes a str once and
// is shared by every refusal that names it.
PyObject* violation_type_text(std::string_view text) {
    struct Entry {
        std::string_view text;  // the str's own UTF-8 data
        PyObject* str;
    };
    static Entry cache[16];
    static std::size_t used = 0;
    for (std::size_t i = 0; i < used; ++i) {
        if (cache[i].text == text) return Py_NewRef(cache[i].str);
    }
    PyObject* str = to_python(text);
    if (used < std::size(cache)) {
        Py_ssize_t size = 0;
        const char* utf8 = check_created(PyUnicode_AsUTF8AndSize(str, &size));
        cache[used++] = {{utf8, static_cast<std::size_t>(size)}, Py_NewRef(str)};
    }
    return str;
}

}  // namespace

// While the class keeps its own constructor and the inherited initialiser,
// calling it with `args` yields exactly this object, built without the call.
PendingError violation(std::int32_t axis, std::string_view violation_type, Ref message) {
    PyTypeObject* type = require_type_object(MorvViolation::declaration);
    Ref type_text = Ref::steal(violation_type_text(violation_type));
    Ref args = Ref::steal(check_created(PyTuple_New(3)));
    PyTuple_SET_ITEM(args.get(), 0, to_python(axis));
    PyTuple_SET_ITEM(args.get(), 1, Py_NewRef(type_text.get()));
    PyTuple_SET_ITEM(args.get(), 2, Py_NewRef(message.get()));
    const auto* base = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
    if (type->tp_new != MorvViolation::declaration.constructor.entry ||
        type->tp_init != base->tp_init) {
        return PendingError::with_args(reinterpret_cast<PyObject*>(type), std::move(args));
    }
    auto made = new_exception_instance<MorvViolation>(
        type, args.get(), MorvViolation{axis, std::move(type_text), std::move(message)});
    if (!made.ok()) return made.take_error();
    return PendingError::with_exception(std::move(*made));
}

PendingError violation(std::int32_t axis, std::string_view violation_type,
                       std::string_view message) {
    return violation(axis, violation_type, Ref::steal(to_python(message)));
}

PendingError morv_error_to_py_err(std::int32_t axis, security::SecurityError error) {
    return violation(axis, security::code_string(error), security::message(error));
}

}  // namespace morvex::ext
