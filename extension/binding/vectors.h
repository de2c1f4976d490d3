// Argument types for four-axis commands and limits: a command of four real
// numbers, up to four of them (rows) or up to four numbers (right sides), any
// object (batches that may be a buffer), and a borrowed float64 matrix of four
// columns. Each has a Converter, so a body takes them like any other argument.
#pragma once

#include <Python.h>

#include <cstddef>

#include "convert.h"

namespace morvex::ext {

// Exactly four real numbers from any sequence but a str (TypeError otherwise).
struct Vec4 {
    double v[4];
};

// Up to four items; `length` is how many the sequence held (more than four are
// counted, not converted, so that the body can say what is wrong).
struct Vec4List {
    Vec4 items[4];
    std::size_t length;
};
struct DoubleList {
    double items[4];
    std::size_t length;
};

// Any object, borrowed for the call.
struct ObjectArg {
    PyObject* obj;
};

// The items of any iterable as a tuple that the caller holds: converting an
// item runs Python code (__float__, __iter__) that may change or empty a list
// being read, so items are never read from the object itself. A list's or
// tuple's items are taken as they are; any other iterable is iterated (its
// __len__ is not consulted), and what its __iter__ raises passes through.
Result<Ref> held_items(PyObject* obj);

Result<Vec4> to_vec4(PyObject* obj);
Result<Vec4List> to_vec4_list(PyObject* obj);
Result<DoubleList> to_double_list(PyObject* obj);

template <>
struct Converter<Vec4> {
    static Result<Vec4> convert(PyObject* obj) { return to_vec4(obj); }
};
template <>
struct Converter<Vec4List> {
    static Result<Vec4List> convert(PyObject* obj) { return to_vec4_list(obj); }
};
template <>
struct Converter<DoubleList> {
    static Result<DoubleList> convert(PyObject* obj) { return to_double_list(obj); }
};
template <>
struct Converter<ObjectArg> {
    static Result<ObjectArg> convert(PyObject* obj) { return ObjectArg{obj}; }
};

// A C-contiguous buffer of native float64 of shape (rows, 4), held for the
// call and released by the destructor.
class MatrixView {
public:
    // Nothing when `obj` offers no buffer; ValueError when it offers one of
    // another element type or shape; `writable` asks for a writable one.
    static Result<MatrixView> of(PyObject* obj, const char* name, bool writable);
    MatrixView(MatrixView&& other) noexcept;
    MatrixView& operator=(MatrixView&&) = delete;
    ~MatrixView();

    bool held() const { return view_.obj != nullptr; }
    std::size_t rows() const { return rows_; }
    double* row(std::size_t i) const { return static_cast<double*>(view_.buf) + 4 * i; }
    // Whether the two share memory (an in-place call).
    bool overlaps(const MatrixView& other) const;

private:
    MatrixView() = default;
    Py_buffer view_{};
    std::size_t rows_ = 0;
};

// A 4-tuple of floats; a 4-vector as a Python result.
Result<Ref> vec4_to_python(const double v[4]);

}  // namespace morvex::ext
