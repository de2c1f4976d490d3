// Ref: the one owning handle for a Python object reference.
#pragma once

#include <Python.h>

#include <utility>

namespace morvex::ext {

// Holds one strong reference; move-only. release() hands the reference over.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* obj) { return Ref(obj); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace morvex::ext
