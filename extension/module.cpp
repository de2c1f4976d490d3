// Module entry: builds the one module object and registers its classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/error.h"
#include "binding/type.h"
#include "classes.h"

namespace morvex::ext {
namespace {

constexpr const char* kVersion = MORVEX_VERSION;  // project(VERSION) in CMakeLists.txt

// The classes in registration order.
ClassDecl* const kRegistered[] = {
    &morv_boundary_class(), &morv_receipt_class(), &morv_violation_class(),
    &monotonic_counter_class(), &governor_class(),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_morvex",
    "Python module registration.",
    0,
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> initialising_interpreter{-1};
PyObject* module_cell = nullptr;

Result<void> run_body(PyObject* module) {
    Ref version = Ref::steal(PyUnicode_FromString(kVersion));
    if (!version) return PendingError::fetch();
    MORVEX_TRY_VOID(add_to_module(module, "__version__", version.get()));
    for (ClassDecl* decl : kRegistered) {
        MORVEX_TRY(type, get_type_object(*decl));
        MORVEX_TRY_VOID(add_to_module(module, decl->name, reinterpret_cast<PyObject*>(type)));
    }
    return {};
}

Result<Ref> initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return PendingError::fetch();
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return PendingError::with_message(
            PyExc_ImportError,
            "morvex._morvex is already initialised in another interpreter of this process: "
            "modules of this extension do not yet support subinterpreters");
    }
    if (module_cell != nullptr) return Ref::borrow(module_cell);
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return PendingError::fetch();
    MORVEX_TRY_VOID(run_body(module.get()));
    module_cell = Py_NewRef(module.get());
    return module;
}

}  // namespace
}  // namespace morvex::ext

PyMODINIT_FUNC PyInit__morvex() {
    auto module = morvex::ext::initialise();
    if (!module.ok()) {
        std::move(module.take_error()).restore();
        return nullptr;
    }
    return module->release();
}
