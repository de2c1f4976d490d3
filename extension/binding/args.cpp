#include "args.h"

#include <cstring>
#include <string>

#include "fatal.h"

namespace morvex::ext {
namespace {

std::string full_name(const FunctionDescription& desc) {
    std::string name = desc.class_name;
    name += '.';
    name += desc.function_name;
    name += "()";
    return name;
}

PendingError type_error(const std::string& message) {
    return PendingError::with_message(PyExc_TypeError, message);
}

PendingError too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
    std::string message = full_name(desc) + " takes ";
    if (desc.required_count == desc.parameter_count) {
        message += std::to_string(desc.parameter_count);
    } else {
        message += "from " + std::to_string(desc.required_count) + " to " +
                   std::to_string(desc.parameter_count);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    return type_error(message);
}

PendingError unexpected_keyword(const FunctionDescription& desc, PyObject* name) {
    Ref shown = Ref::steal(check_created(PyUnicode_FromFormat(
        "%s got an unexpected keyword argument '%S'", full_name(desc).c_str(), name)));
    return PendingError::with_args(PyExc_TypeError, std::move(shown));
}

PendingError missing_required(const FunctionDescription& desc, PyObject* const* slots) {
    std::string names;
    std::size_t count = 0, listed = 0;
    for (std::size_t i = 0; i < desc.required_count; ++i) count += slots[i] == nullptr;
    for (std::size_t i = 0; i < desc.required_count; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) names += count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
        names += '\'';
        names += desc.parameters[i];
        names += '\'';
        ++listed;
    }
    return type_error(full_name(desc) + " missing " + std::to_string(count) +
                      " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                      names);
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
            return type_error(full_name(desc) + " got multiple values for argument '" + param +
                              "'");
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
