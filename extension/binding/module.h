// Creating the package's extension modules: one policy for every module.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "error.h"

namespace morvex::ext {

// A module as its entry file declares it: its definition and the body that
// fills it (classes, constants).
struct ModuleDecl {
    PyModuleDef def;
    Result<void> (*body)(PyObject* module);

    std::atomic<std::int64_t> interpreter{-1};  // the interpreter that owns the module
    PyObject* cell = nullptr;                   // the module, once built
};

// The module object of PyInit_<name> (a new reference), or nullptr with the
// exception set.
//
// Every module is built once per process and belongs to the first interpreter
// that imports it; any other interpreter gets ImportError. The classes are heap
// types built once per process, and _actuator holds _morvex's MorvViolation:
// objects of one interpreter that another must not touch. Importing again in
// the owning interpreter (after the module was dropped from sys.modules) gives
// the same module object, so that its classes and their identity stay one.
PyObject* initialise_module(ModuleDecl& decl);

}  // namespace morvex::ext
