#include "module.h"

#include "ref.h"

namespace morvex::ext {
namespace {

Result<Ref> initialise(ModuleDecl& decl) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return PendingError::fetch();
    std::int64_t expected = -1;
    if (!decl.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return PendingError::with_text(
            PyExc_ImportError,
            PyUnicode_FromFormat("morvex.%s is already initialised in another interpreter of "
                                 "this process: modules of this extension do not yet support "
                                 "subinterpreters",
                                 decl.def.m_name));
    }
    if (decl.cell != nullptr) return Ref::borrow(decl.cell);
    Ref module = Ref::steal(PyModule_Create2(&decl.def, PYTHON_API_VERSION));
    if (!module) return PendingError::fetch();
    MORVEX_TRY_VOID(decl.body(module.get()));
    decl.cell = Py_NewRef(module.get());
    return module;
}

}  // namespace

PyObject* initialise_module(ModuleDecl& decl) {
    auto module = initialise(decl);
    if (!module.ok()) {
        std::move(module.take_error()).restore();
        return nullptr;
    }
    return module->release();
}

}  // namespace morvex::ext
