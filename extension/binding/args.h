// Matching a call's arguments to the parameters of a function description.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "error.h"

namespace morvex::ext {

// Every parameter of this module may be given by position or by keyword.
struct FunctionDescription {
    const char* class_name;
    const char* function_name;  // "__new__" for constructors
    const char* const* parameters;
    std::size_t parameter_count;
    std::size_t required_count;  // leading parameters without a default
};

// One declared callable's parameters, as the parser and the type builder read them.
struct CallableInfo {
    FunctionDescription description{};  // class_name is set when the type is built
    std::string parameter_text{};       // "a, b=1": the text signature without its parentheses
    std::string function_doc{};         // a module-level function's doc, signature line first
};

// Fills slots[0..parameter_count) with borrowed references, nullptr where a
// parameter was omitted. Vectorcall form (methods).
Result<void> parse_fastcall(const FunctionDescription& desc, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Tuple-and-dict form (constructors).
Result<void> parse_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                              PyObject** slots);

}  // namespace morvex::ext
