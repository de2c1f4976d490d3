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
    MORVEX_TRY(type_text, created(to_python(violation_type.text)));
    MORVEX_TRY(message_text, created(to_python(message.text)));
    return new_instance<MorvViolation>(
        type, MorvViolation{axis, std::move(type_text), std::move(message_text)});
}

// An instance made by a replaced __new__ through the base exception's own
// constructor has no fields: its texts read as None.
Ref text_or_none(const Ref& text) { return Ref::borrow(text ? text.get() : Py_None); }

std::int32_t get_axis(MorvViolation& self) { return self.axis; }
Ref get_violation_type(MorvViolation& self) { return text_or_none(self.violation_type); }
Ref get_message(MorvViolation& self) { return text_or_none(self.message); }

Result<Ref> describe(MorvViolation& self) {
    return created(PyUnicode_FromFormat("MorvViolation(axis=%d, violation_type=%S): %S", self.axis,
                                        text_or_none(self.violation_type).get(),
                                        text_or_none(self.message).get()));
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
Result<Ref> violation_type_text(std::string_view text) {
    struct Entry {
        std::string_view text;  // the str's own UTF-8 data
        PyObject* str;
    };
    static Entry cache[16];
    static std::size_t used = 0;
    for (std::size_t i = 0; i < used; ++i) {
        if (cache[i].text == text) return Ref::borrow(cache[i].str);
    }
    MORVEX_TRY(str, created(to_python(text)));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
    if (utf8 == nullptr) return PendingError::fetch();
    if (used < std::size(cache)) {
        cache[used++] = {{utf8, static_cast<std::size_t>(size)}, Py_NewRef(str.get())};
    }
    return std::move(str);
}

}  // namespace

// While the class keeps its own constructor and the inherited initialiser,
// calling it with `args` yields exactly this object, built without the call.
PendingError violation(std::int32_t axis, std::string_view violation_type, Ref message) {
    PyTypeObject* type = require_type_object(MorvViolation::declaration);
    MORVEX_TRY(type_text, violation_type_text(violation_type));
    MORVEX_TRY(axis_number, created(to_python(axis)));
    MORVEX_TRY(args, created(PyTuple_New(3)));
    PyTuple_SET_ITEM(args.get(), 0, axis_number.release());
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
    MORVEX_TRY(text, created(to_python(message)));
    return violation(axis, violation_type, std::move(text));
}

PendingError morv_error_to_py_err(std::int32_t axis, security::SecurityError error) {
    return violation(axis, security::code_string(error), security::message(error));
}

}  // namespace morvex::ext
