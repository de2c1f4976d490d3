#include "args.h"

#include <cstring>

namespace morvex::ext {
namespace {

PendingError type_error(PyObject* message) {
    return PendingError::with_text(PyExc_TypeError, message);
}

PendingError too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (desc.required_count == desc.parameter_count) {
        return type_error(PyUnicode_FromFormat(
            "%s.%s() takes %zu positional arguments but %zd %s given", desc.class_name,
            desc.function_name, desc.parameter_count, given, verb));
    }
    return type_error(PyUnicode_FromFormat(
        "%s.%s() takes from %zu to %zu positional arguments but %zd %s given", desc.class_name,
        desc.function_name, desc.required_count, desc.parameter_count, given, verb));
}

PendingError unexpected_keyword(const FunctionDescription& desc, PyObject* name) {
    return type_error(PyUnicode_FromFormat("%s.%s() got an unexpected keyword argument '%S'",
                                           desc.class_name, desc.function_name, name));
}

PendingError missing_required(const FunctionDescription& desc, PyObject* const* slots) {
    std::size_t count = 0, listed = 0;
    for (std::size_t i = 0; i < desc.required_count; ++i) count += slots[i] == nullptr;
    Ref names = Ref::steal(PyUnicode_FromString(""));
    for (std::size_t i = 0; names && i < desc.required_count; ++i) {
        if (slots[i] != nullptr) continue;
        const char* separator =
            listed == 0 ? "" : count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
        names = Ref::steal(
            PyUnicode_FromFormat("%U%s'%s'", names.get(), separator, desc.parameters[i]));
        ++listed;
    }
    if (!names) return PendingError::fetch();
    return type_error(PyUnicode_FromFormat("%s.%s() missing %zu required positional %s: %U",
                                           desc.class_name, desc.function_name, count,
                                           count == 1 ? "argument" : "arguments", names.get()));
}

// Places one keyword argument; the first problem found is the call's error.
Result<void> place_keyword(const FunctionDescription& desc, PyObject* name, PyObject* value,
                           PyObject** slots) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return unexpected_keyword(desc, name);
    }
    for (std::size_t i = 0; i < desc.parameter_count; ++i) {
        const char* param = desc.parameters[i];
        if (std::strlen(param) != static_cast<std::size_t>(length) ||
            std::memcmp(param, text, static_cast<std::size_t>(length)) != 0) {
            continue;
        }
        if (slots[i] != nullptr) {
            return type_error(PyUnicode_FromFormat("%s.%s() got multiple values for argument '%s'",
                                                   desc.class_name, desc.function_name, param));
        }
        slots[i] = value;
        return {};
    }
    return unexpected_keyword(desc, name);
}

Result<void> check_required(const FunctionDescription& desc, Py_ssize_t nargs,
                            PyObject* const* slots) {
    if (static_cast<std::size_t>(nargs) >= desc.required_count) return {};
    for (std::size_t i = 0; i < desc.required_count; ++i) {
        if (slots[i] == nullptr) return missing_required(desc, slots);
    }
    return {};
}

}  // namespace

Result<void> parse_fastcall(const FunctionDescription& desc, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > desc.parameter_count) {
        return too_many_positional(desc, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            MORVEX_TRY_VOID(place_keyword(desc, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots));
        }
    }
    return check_required(desc, nargs, slots);
}

Result<void> parse_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                              PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > desc.parameter_count) {
        return too_many_positional(desc, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            MORVEX_TRY_VOID(place_keyword(desc, name, value, slots));
        }
    }
    return check_required(desc, nargs, slots);
}

}  // namespace morvex::ext
