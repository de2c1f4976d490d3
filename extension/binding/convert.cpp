#include "convert.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace morvex::ext {

PendingError downcast_error(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return PendingError::fetch();
        PyErr_Clear();
        qualname = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
        if (!qualname) return PendingError::fetch();
    }
    return PendingError::with_text(
        PyExc_TypeError,
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
}

PendingError argument_error(const char* parameter, PendingError error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* first = error.exception();
    if (Py_TYPE(first) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return error;  // building it raised something else
    }
    Ref text = Ref::steal(PyObject_Str(first));
    if (!text) return PendingError::fetch();
    PendingError wrapped = PendingError::with_text(
        PyExc_TypeError, PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (wrapped.type() != PyExc_TypeError) return wrapped;  // formatting failed
    PyObject* built = wrapped.exception();
    if (PyObject* cause = PyException_GetCause(first)) PyException_SetCause(built, cause);
    return wrapped;
}

Result<double> to_f64(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const bool exact_int = PyLong_CheckExact(obj);
    RecursionGuard guard(kWhileConverting, !exact_int);
    if (!guard.entered()) return PendingError::fetch();
    const double value = exact_int ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return PendingError::fetch();
    return value;
}

Result<std::uint64_t> to_u64(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        RecursionGuard guard(kWhileConverting);
        if (!guard.entered()) return PendingError::fetch();
        index = Ref::steal(PyNumber_Index(obj));
        if (!index) return PendingError::fetch();
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == ULLONG_MAX && PyErr_Occurred()) return PendingError::fetch();
    return static_cast<std::uint64_t>(value);
}

Result<std::int32_t> to_i32(PyObject* obj) {
    RecursionGuard guard(kWhileConverting, !PyLong_Check(obj));
    if (!guard.entered()) return PendingError::fetch();
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return PendingError::fetch();
    if (value < INT32_MIN || value > INT32_MAX) {
        return PendingError::with_message(PyExc_OverflowError,
                                          "out of range integral type conversion attempted");
    }
    return static_cast<std::int32_t>(value);
}

Result<BytesArg> to_bytes(PyObject* obj) {
    if (!PyBytes_Check(obj)) return downcast_error(obj, "PyBytes");
    return BytesArg{reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

Result<StrArg> to_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return downcast_error(obj, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return PendingError::fetch();
    return StrArg{std::string_view(text, static_cast<std::size_t>(size))};
}

ByteView::ByteView(ByteView&& other) noexcept : view_(std::exchange(other.view_, Py_buffer{})) {}

ByteView::~ByteView() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

Result<ByteView> to_byte_view(PyObject* obj) {
    ByteView held;
    if (PyObject_GetBuffer(obj, &held.view_, PyBUF_SIMPLE) != 0) return PendingError::fetch();
    return held;
}

F32Buffer::F32Buffer(F32Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

F32Buffer::~F32Buffer() { PyMem_Free(data_); }

bool F32Buffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    if (capacity > PY_SSIZE_T_MAX / sizeof(float)) return false;
    void* grown = PyMem_Realloc(data_, capacity * sizeof(float));
    if (grown == nullptr) return false;
    data_ = static_cast<float*>(grown);
    capacity_ = capacity;
    return true;
}

namespace {

Result<void> push_narrowed(F32Buffer& out, PyObject* item) {
    MORVEX_TRY(value, to_f64(item));
    if (!out.push_back(static_cast<float>(value))) return PendingError::no_memory();
    return {};
}

// Exact lists and tuples are walked by index, exactly as their iterators would
// (a list is re-measured before every item, since converting one may change it).
Result<void> collect_list(F32Buffer& out, PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        MORVEX_TRY_VOID(push_narrowed(out, item.get()));
    }
    return {};
}

Result<void> collect_tuple(F32Buffer& out, PyObject* tuple) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        MORVEX_TRY_VOID(push_narrowed(out, PyTuple_GET_ITEM(tuple, i)));
    }
    return {};
}

Result<void> collect_iterable(F32Buffer& out, PyObject* obj) {
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return PendingError::fetch();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        MORVEX_TRY_VOID(push_narrowed(out, item.get()));
    }
    if (PyErr_Occurred()) return PendingError::fetch();
    return {};
}

}  // namespace

Result<F32Buffer> to_f32_buffer(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        return PendingError::with_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(obj)) return downcast_error(obj, "Sequence");
    F32Buffer out;
    // The length is only a hint (a sequence may report anything): it sizes the
    // buffer up to a cap and only if that much can be had; beyond that the
    // buffer grows as items actually arrive.
    constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 16;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        const Py_ssize_t size = Py_SIZE(obj);
        (void)out.reserve(static_cast<std::size_t>(size < kMaxReservedItems ? size : kMaxReservedItems));
        MORVEX_TRY_VOID(PyList_CheckExact(obj) ? collect_list(out, obj) : collect_tuple(out, obj));
        return out;
    }
    RecursionGuard guard(kWhileConverting);
    if (!guard.entered()) return PendingError::fetch();
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    (void)out.reserve(static_cast<std::size_t>(hint < kMaxReservedItems ? hint : kMaxReservedItems));
    MORVEX_TRY_VOID(collect_iterable(out, obj));
    return out;
}

namespace {

// The pieces one after another from out on (sized by the caller).
void copy_pieces(char* out, std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) {
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
}

}  // namespace

Result<Ref> joined_text(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    unsigned char high = 0;
    for (std::string_view piece : pieces) {
        size += piece.size();
        for (char c : piece) high |= static_cast<unsigned char>(c);
    }
    if (high >= 0x80) {
        char* text = static_cast<char*>(PyMem_Malloc(size > 0 ? size : 1));
        if (text == nullptr) return PendingError::no_memory();
        copy_pieces(text, pieces);
        Result<Ref> decoded = created(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size)));
        PyMem_Free(text);
        return decoded;
    }
    MORVEX_TRY(text, created(PyUnicode_New(static_cast<Py_ssize_t>(size), 127)));
    copy_pieces(static_cast<char*>(PyUnicode_DATA(text.get())), pieces);
    return std::move(text);
}

}  // namespace morvex::ext
