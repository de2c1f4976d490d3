// Conversions of Python argument values, result conversions, and the argument,
// downcast and self-type errors shared by every callable of the module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <type_traits>

#include "error.h"
#include "recursion.h"

namespace morvex::ext {

// TypeError "'{qualname of obj's type}' object cannot be converted to '{target}'".
PendingError downcast_error(PyObject* obj, const char* target);

// A conversion of `parameter` failed: an exact TypeError is rewrapped as
// "argument '{parameter}': {message}" keeping its __cause__; anything else passes.
PendingError argument_error(const char* parameter, PendingError error);

// Argument types a callable can declare; each has a Converter below.
struct BytesArg {  // a bytes object's own buffer, valid while the call runs
    const std::uint8_t* data;
    std::size_t size;
};
struct StrArg {  // UTF-8 text owned by the str object
    std::string_view text;
};
template <class T>
struct OrNone {  // omitted or None gives an empty value
    std::optional<T> value;
};
template <class T>
struct IsOrNone : std::false_type {};
template <class T>
struct IsOrNone<OrNone<T>> : std::true_type {};

// The bytes of any object with the buffer protocol (bytes, bytearray,
// memoryview, array ...), held, and its exporter kept from resizing, while the
// call runs.
class ByteView {
public:
    ByteView() = default;
    ByteView(ByteView&& other) noexcept;
    ByteView& operator=(ByteView&&) = delete;
    ~ByteView();
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    friend Result<ByteView> to_byte_view(PyObject* obj);
    Py_buffer view_{};
};

// Contiguous single-precision values narrowed from a sequence of floats. Growing
// fails softly: false, with nothing changed and no error set.
class F32Buffer {
public:
    F32Buffer() = default;
    F32Buffer(F32Buffer&& other) noexcept;
    F32Buffer& operator=(F32Buffer&&) = delete;
    ~F32Buffer();
    [[nodiscard]] bool reserve(std::size_t capacity);
    [[nodiscard]] bool push_back(float value) {
        if (size_ == capacity_ && !reserve(capacity_ < 8 ? 8 : capacity_ * 2)) return false;
        data_[size_++] = value;
        return true;
    }
    float* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    float* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

Result<double> to_f64(PyObject* obj);
Result<std::uint64_t> to_u64(PyObject* obj);
Result<std::int32_t> to_i32(PyObject* obj);
Result<BytesArg> to_bytes(PyObject* obj);
Result<StrArg> to_str(PyObject* obj);
Result<F32Buffer> to_f32_buffer(PyObject* obj);
Result<ByteView> to_byte_view(PyObject* obj);

template <class T>
struct Converter;
template <>
struct Converter<double> {
    static Result<double> convert(PyObject* obj) { return to_f64(obj); }
};
template <>
struct Converter<std::uint64_t> {
    static Result<std::uint64_t> convert(PyObject* obj) { return to_u64(obj); }
};
template <>
struct Converter<std::int32_t> {
    static Result<std::int32_t> convert(PyObject* obj) { return to_i32(obj); }
};
template <>
struct Converter<BytesArg> {
    static Result<BytesArg> convert(PyObject* obj) { return to_bytes(obj); }
};
template <>
struct Converter<StrArg> {
    static Result<StrArg> convert(PyObject* obj) { return to_str(obj); }
};
template <>
struct Converter<F32Buffer> {
    static Result<F32Buffer> convert(PyObject* obj) { return to_f32_buffer(obj); }
};
template <>
struct Converter<ByteView> {
    static Result<ByteView> convert(PyObject* obj) { return to_byte_view(obj); }
};
template <class T>
struct Converter<OrNone<T>> {
    static Result<OrNone<T>> convert(PyObject* obj) {
        if (obj == Py_None) return OrNone<T>{};
        auto inner = Converter<T>::convert(obj);
        if (!inner.ok()) return inner.take_error();
        return OrNone<T>{std::move(*inner)};
    }
};

// Result conversions: a new reference, or NULL with the interpreter's error set
// (MemoryError) when the object cannot be created.
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(std::int32_t value) { return PyLong_FromLong(value); }
inline PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
inline PyObject* to_python(Ref obj) { return obj.release(); }
inline PyObject* bytes_to_python(const void* data, std::size_t size) {
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}
inline PyObject* to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// One str from the concatenation of `pieces` (UTF-8), written straight into the
// new object when they are ASCII.
Result<Ref> joined_text(std::initializer_list<std::string_view> pieces);

}  // namespace morvex::ext
