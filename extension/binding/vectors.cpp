#include "vectors.h"

#include <cstring>
#include <utility>

namespace morvex::ext {

namespace {

// The items of any sequence but a str or bytes (TypeError for those and for
// what is no sequence), as a tuple held for the conversion.
Result<Ref> sequence_items(PyObject* obj, const char* expected) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
        return downcast_error(obj, expected);
    }
    return held_items(obj);
}

PendingError length_error(const char* expected, Py_ssize_t got) {
    return PendingError::with_text(
        PyExc_TypeError, PyUnicode_FromFormat("expected %s, got a sequence of %zd", expected, got));
}

}  // namespace

Result<Ref> held_items(PyObject* obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        Ref items = Ref::steal(PySequence_Tuple(obj));
        if (!items) return PendingError::fetch();
        return items;
    }
    // Anything else is read item by item, never sized by its __len__ (which may
    // claim anything: a tuple made to that length could not be allocated), and
    // its Python code counts toward the recursion limit.
    RecursionGuard guard(kWhileConverting);
    if (!guard.entered()) return PendingError::fetch();
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return PendingError::fetch();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return PendingError::fetch();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (PyList_Append(list.get(), item.get()) != 0) return PendingError::fetch();
    }
    if (PyErr_Occurred()) return PendingError::fetch();
    Ref items = Ref::steal(PyList_AsTuple(list.get()));
    if (!items) return PendingError::fetch();
    return items;
}

Result<Vec4> to_vec4(PyObject* obj) {
    constexpr const char* expected = "a sequence of 4 real numbers";
    // Four exact floats in a list or tuple are read in place: reading them runs
    // no Python code, so nothing can change the list meanwhile.
    if ((PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == 4) {
        PyObject** item = PySequence_Fast_ITEMS(obj);
        if (PyFloat_CheckExact(item[0]) && PyFloat_CheckExact(item[1]) &&
            PyFloat_CheckExact(item[2]) && PyFloat_CheckExact(item[3])) {
            return Vec4{{PyFloat_AS_DOUBLE(item[0]), PyFloat_AS_DOUBLE(item[1]),
                         PyFloat_AS_DOUBLE(item[2]), PyFloat_AS_DOUBLE(item[3])}};
        }
    }
    MORVEX_TRY(items, sequence_items(obj, "Sequence[float]"));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n != 4) return length_error(expected, n);
    Vec4 out;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        MORVEX_TRY(value, to_f64(PyTuple_GET_ITEM(items.get(), i)));
        out.v[i] = value;
    }
    return out;
}

namespace {

// Up to four converted items of a sequence, and how many it held.
template <class List, auto Convert>
Result<List> to_short_list(PyObject* obj, const char* expected) {
    MORVEX_TRY(items, sequence_items(obj, expected));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    List out{};
    out.length = static_cast<std::size_t>(n);
    for (Py_ssize_t i = 0; i < n && i < 4; ++i) {
        MORVEX_TRY(item, Convert(PyTuple_GET_ITEM(items.get(), i)));
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
        return PendingError::with_text(
            PyExc_ValueError,
            PyUnicode_FromFormat("%s must be a C-contiguous float64 buffer of shape (n, 4)", name));
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
