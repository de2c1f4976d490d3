// Module entry of morvex._morvex: the classes a controller uses.
#include <Python.h>

#include "binding/error.h"
#include "binding/module.h"
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

ModuleDecl module_decl = {
    .def = {PyModuleDef_HEAD_INIT, "_morvex", "Python module registration.", 0, nullptr, nullptr,
            nullptr, nullptr, nullptr},
    .body = run_body,
};

}  // namespace
}  // namespace morvex::ext

PyMODINIT_FUNC PyInit__morvex() { return morvex::ext::initialise_module(morvex::ext::module_decl); }
