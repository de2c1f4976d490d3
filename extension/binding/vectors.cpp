#include "vectors.h"

#include <cstring>
#include <utility>

namespace morvex::ext {

namespace {

// The items of a list or tuple without a copy, of any other sequence as a list;
// refuses str and bytes, whose items are not numbers.
Result<Ref> sequence_items(PyObject* obj, const char* expected) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
        return downcast_error(obj, expected);
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return Ref::borrow(obj);
    RecursionGuard guard;  // iterating may run Python code
    if (!guard.entered()) return PendingError::fetch();
    return created(PySequence_Fast(obj, ""));
}

PendingError length_error(const char* expected, Py_ssize_t got) {
    PyObject* message = PyUnicode_FromFormat("expected %s, got a sequence of %zd", expected, got);
    if (message == nullptr) return PendingError::fetch();
    return PendingError::with_args(PyExc_TypeError, Ref::steal(message));
}

}  // namespace

Result<Vec4> to_vec4(PyObject* obj) {
    constexpr const char* expected = "a sequence of 4 real numbers";
    MORVEX_TRY(items, sequence_items(obj, "Sequence[float]"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n != 4) return length_error(expected, n);
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    Vec4 out;
    for (std::size_t i = 0; i < 4; ++i) {
        MORVEX_TRY(value, to_f64(item[i]));
        out.v[i] = value;
    }
    return out;
}

namespace {

// Up to four converted items of a sequence, and how many it held.
template <class List, auto Convert>
Result<List> to_short_list(PyObject* obj, const char* expected) {
    MORVEX_TRY(items, sequence_items(obj, expected));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    List out{};
    out.length = static_cast<std::size_t>(n);
    for (Py_ssize_t i = 0; i < n && i < 4; ++i) {
        MORVEX_TRY(item, Convert(PySequence_Fast_ITEMS(items.get())[i]));
        out.items[i] = item;
    }
    return out;
}

}  // namespace

Result<Vec4List> to_vec4_list(PyObject* obj) {
    return to_short_list<Vec4List, to_vec4>(obj, "Sequence[Sequence[float]]");
}

Result<DoubleList> to_double_list(PyObject* obj) {
    return to_short_list<DoubleList, to_f64>(obj, "Sequence[float]");
}

Result<MatrixView> MatrixView::of(PyObject* obj, const char* name, bool writable) {
    MatrixView m;
    if (!PyObject_CheckBuffer(obj)) return m;
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &m.view_, flags) != 0) return PendingError::fetch();
    const char* format = m.view_.format != nullptr ? m.view_.format : "B";
    constexpr const char* explicit_native =
        __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "<d" : ">d";
    const bool float64 =
        m.view_.itemsize == 8 && (std::strcmp(format, "d") == 0 || std::strcmp(format, "=d") == 0 ||
                                  std::strcmp(format, "@d") == 0 ||
                                  std::strcmp(format, explicit_native) == 0);
    if (!float64 || m.view_.ndim != 2 || m.view_.shape[1] != 4) {
        PyObject* message =
            PyUnicode_FromFormat("%s must be a C-contiguous float64 buffer of shape (n, 4)", name);
        if (message == nullptr) return PendingError::fetch();
        return PendingError::with_args(PyExc_ValueError, Ref::steal(message));
    }
    m.rows_ = static_cast<std::size_t>(m.view_.shape[0]);
    return m;
}

MatrixView::MatrixView(MatrixView&& other) noexcept
    : view_(std::exchange(other.view_, Py_buffer{})), rows_(other.rows_) {}

MatrixView::~MatrixView() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

bool MatrixView::overlaps(const MatrixView& other) const {
    const auto* a = static_cast<const char*>(view_.buf);
    const auto* b = static_cast<const char*>(other.view_.buf);
    return a < b + other.view_.len && b < a + view_.len;
}

Result<Ref> vec4_to_python(const double v[4]) {
    MORVEX_TRY(tuple, created(PyTuple_New(4)));
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = to_python(v[i]);
        if (item == nullptr) return PendingError::fetch();
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return std::move(tuple);
}

}  // namespace morvex::ext
