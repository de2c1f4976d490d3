// Turning a class declaration into a heap type, once per process, and the
// layout, allocation and deallocation of instances.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "convert.h"
#include "error.h"

namespace morvex::ext {

// What a class supplies. Built into a type on first use; the cells at the end
// are filled once and live until the process ends.
struct ClassDecl {
    const char* name;
    const char* doc;
    const char* text_signature;  // nullptr: the class has none
    PyObject* (*base)();         // nullptr: object
    Py_ssize_t basicsize;
    newfunc constructor;             // nullptr: calling the class is refused
    PyMethodDef* methods;            // nullptr or terminated by a zero entry
    PyGetSetDef* properties;         // nullptr or terminated by a zero entry
    const PyType_Slot* special_slots;  // nullptr or terminated by {0, nullptr}
    destructor dealloc;

    PyTypeObject* type = nullptr;
    std::string composed_doc{};
    std::string qualified_name{};
};

// The class's type object, built on first use; a failure is RuntimeError
// "An error occurred while initializing class {name}" chained to its cause.
Result<PyTypeObject*> get_type_object(ClassDecl& decl);

// Where an existing type is required (receiver checks, creating results), a type
// that cannot be built is a broken invariant.
PyTypeObject* require_type_object(ClassDecl& decl);

// Appends `name` to the module's __all__ (created on first use), then sets it.
Result<void> add_to_module(PyObject* module, const char* name, PyObject* value);

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

// Allocates an instance of `type` and constructs T in it from `args`.
// Exception-based classes are allocated by the base exception's own __new__
// called without arguments, so `args` of the exception starts empty.
template <class T, class... Args>
Result<Ref> new_instance(PyTypeObject* type, Args&&... args) {
    PyObject* obj = nullptr;
    if constexpr (has_exception_base<T>) {
        Ref no_args = Ref::steal(check_created(PyTuple_New(0)));
        auto* base = reinterpret_cast<PyTypeObject*>(T::declaration.base());
        obj = base->tp_new(type, no_args.get(), nullptr);
    } else {
        allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
        obj = alloc(type, 0);
    }
    if (obj == nullptr) return PendingError::fetch();
    new (&value_of<T>(obj)) T(std::forward<Args>(args)...);
    return Ref::steal(obj);
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
