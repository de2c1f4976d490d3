#include "error.h"

#include "recursion.h"

namespace morvex::ext {

PendingError PendingError::with_message(PyObject* type, std::string_view message) {
    return with_text(type, PyUnicode_FromStringAndSize(message.data(),
                                                       static_cast<Py_ssize_t>(message.size())));
}

PendingError PendingError::with_args(PyObject* type, Ref args) {
    return PendingError(Ref::borrow(type), std::move(args), false);
}

PendingError PendingError::with_text(PyObject* type, PyObject* message) {
    if (message == nullptr) return fetch();
    return with_args(type, Ref::steal(message));
}

PendingError PendingError::no_memory() {
    PyErr_NoMemory();
    return fetch();
}

PendingError PendingError::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(traceback);
    return PendingError(Ref::steal(type), Ref::steal(value), true);
}

PendingError PendingError::with_exception(Ref exception) {
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    return PendingError(std::move(type), std::move(exception), true);
}

PyObject* PendingError::exception() {
    if (!built_) {
        // The class may be Python code (a replaced __new__ or __init__) that calls
        // back into the module.
        RecursionGuard guard(kWhileCalling);
        if (!guard.entered()) {
            *this = fetch();
            return value_.get();
        }
        PyObject* args = value_.get();
        Ref made = Ref::steal(PyTuple_Check(args) ? PyObject_Call(type_.get(), args, nullptr)
                                                  : PyObject_CallOneArg(type_.get(), args));
        if (made && !PyExceptionInstance_Check(made.get())) {
            // The interpreter's own words for `raise` of such a class.
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         type_.get(), reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
            made = Ref();
        }
        if (!made) {
            *this = fetch();
            return value_.get();
        }
        value_ = std::move(made);
        built_ = true;
    }
    return value_.get();
}

void PendingError::restore() && {
    PyObject* value = exception();
    PyObject* type = type_.get();
    // The exception may be of another type than announced if building it failed.
    if (value != nullptr && !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
        type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    }
    Py_INCREF(type);
    PyObject* traceback = value != nullptr ? PyException_GetTraceback(value) : nullptr;
    PyErr_Restore(type, value_.release(), traceback);
    type_ = Ref();
}

}  // namespace morvex::ext
