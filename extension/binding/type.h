// Turning a class declaration into a heap type, once per process, and the
// layout, allocation and deallocation of instances.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "error.h"

namespace morvex::ext {

// A method as the class declares it (built by method<Body> in declare.h).
struct MethodDecl {
    const char* name;
    const char* doc;
    PyCFunction entry;
    int flags;
    CallableInfo* parameters;  // nullptr: the method takes none
};

// The constructor as the class declares it (built by constructor<Body>).
struct ConstructorDecl {
    newfunc entry = nullptr;  // nullptr: calling the class is refused
    CallableInfo* parameters = nullptr;
};

// What a class names; every field it leaves out keeps its default.
struct ClassSpec {
    const char* name = nullptr;
    const char* doc = nullptr;
    PyObject* (*base)() = nullptr;  // nullptr: object
    ConstructorDecl constructor{};
    std::vector<MethodDecl> methods{};
    std::vector<PyGetSetDef> properties{};
    std::vector<PyType_Slot> slots{};  // special methods such as Py_tp_str
};

// A class spec completed from its C++ type (declare_class<T> in declare.h).
// Built into a type on first use. The type points into the tables and texts
// at the end, composed once into one block that is never freed: they outlive
// every static destructor, as the type itself does.
struct ClassDecl : ClassSpec {
    Py_ssize_t basicsize = 0;
    destructor dealloc = nullptr;

    PyTypeObject* type = nullptr;
    const char* qualified_name = nullptr;  // "builtins.{name}"
    const char* composed_doc = nullptr;    // "{name}(parameters)\n--\n\n{doc}", or the doc
    PyMethodDef* method_table = nullptr;   // each method's doc with its signature line
    PyGetSetDef* property_table = nullptr;
};

// The class's type object, built on first use; a failure is RuntimeError
// "An error occurred while initializing class {name}" chained to its cause,
// except MemoryError, which passes unchanged.
Result<PyTypeObject*> get_type_object(ClassDecl& decl);

// Where an existing type is required (receiver checks, creating results), a type
// that cannot be built is a broken invariant.
PyTypeObject* require_type_object(ClassDecl& decl);

// Appends `name` to the module's __all__ (created on first use), then sets it.
Result<void> add_to_module(PyObject* module, const char* name, PyObject* value);

// Adds module-level functions (a table ending in a zeroed entry, living as
// long as the process) to the module, not to its __all__.
Result<void> add_functions(PyObject* module, PyMethodDef* table);

// An instance: the Python header of the base (T::PythonHead), then T inline.
template <class T>
struct Instance {
    typename T::PythonHead head;
    T value;
};

template <class T>
T& value_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self)->value;
}

template <class T>
constexpr bool has_exception_base = std::is_same_v<typename T::PythonHead, PyBaseExceptionObject>;

// Allocates an instance of an exception-based class with `exception_args` as
// its `args` (by the base exception's own __new__) and constructs T in it.
template <class T, class... Args>
Result<Ref> new_exception_instance(PyTypeObject* type, PyObject* exception_args, Args&&... args) {
    static_assert(has_exception_base<T>);
    auto* base = reinterpret_cast<PyTypeObject*>(T::declaration.base());
    PyObject* obj = base->tp_new(type, exception_args, nullptr);
    if (obj == nullptr) return PendingError::fetch();
    new (&value_of<T>(obj)) T(std::forward<Args>(args)...);
    return Ref::steal(obj);
}

// Allocates an instance of `type` and constructs T in it from `args`.
// Exception-based classes start with empty `args`; the inherited initialiser
// sets them when the class is called.
template <class T, class... Args>
Result<Ref> new_instance(PyTypeObject* type, Args&&... args) {
    if constexpr (has_exception_base<T>) {
        MORVEX_TRY(no_args, created(PyTuple_New(0)));
        return new_exception_instance<T>(type, no_args.get(), std::forward<Args>(args)...);
    } else {
        allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return PendingError::fetch();
        new (&value_of<T>(obj)) T(std::forward<Args>(args)...);
        return Ref::steal(obj);
    }
}

// Default deallocation: destroy the contents, free the memory, release the type.
template <class T>
void default_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (has_exception_base<T>) {
        PyObject_GC_UnTrack(self);
        value_of<T>(self).~T();
        reinterpret_cast<PyTypeObject*>(T::declaration.base())->tp_dealloc(self);
    } else {
        value_of<T>(self).~T();
        type->tp_free(self);
    }
    Py_DECREF(type);
}

// The receiver check of every method and getter: an instance of T's class or
// of a subclass, else the downcast error naming the class.
template <class T>
Result<T*> self_as(PyObject* self) {
    PyTypeObject* type = require_type_object(T::declaration);
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        return downcast_error(self, T::declaration.name);
    }
    return &value_of<T>(self);
}

}  // namespace morvex::ext
