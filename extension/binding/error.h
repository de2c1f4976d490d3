// Errors inside the module are values. A PendingError travels up through return
// values until the entry point delivers it to the interpreter.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ref.h"

namespace morvex::ext {

class [[nodiscard]] PendingError {
public:
    // The exception is built later from `type` and a message.
    static PendingError with_message(PyObject* type, std::string_view message);
    // The exception is built later by calling `type` with the tuple `args`, or
    // with `args` as the single argument when it is not a tuple.
    static PendingError with_args(PyObject* type, Ref args);
    // The exception is built later from `type` and `message`, a new reference the
    // caller just formatted; null when formatting failed, whose error is then taken.
    static PendingError with_text(PyObject* type, PyObject* message);
    // Takes over the interpreter's current exception (normalised); when none is
    // set, SystemError "attempted to fetch exception but none was set".
    static PendingError fetch();
    // An exception object already built.
    static PendingError with_exception(Ref exception);
    // MemoryError, the interpreter's own (it allocates nothing).
    static PendingError no_memory();

    PyObject* type() const { return type_.get(); }
    // The exception object, built on first use. If building it raised, or gave
    // something that is not an exception (a class whose __new__ was replaced),
    // that error becomes the pending error, as the interpreter's `raise` would.
    PyObject* exception();
    // Sets the interpreter's current exception (PyErr_Restore).
    void restore() &&;

private:
    PendingError(Ref type, Ref value, bool built)
        : type_(std::move(type)), value_(std::move(value)), built_(built) {}
    Ref type_;
    Ref value_;  // a message str or an argument tuple until built, then the exception
    bool built_ = false;
};

// A value or the error that prevented it. `Result<void>` carries only the error.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    Result(PendingError error) : error_(std::move(error)) {}  // NOLINT
    bool ok() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    T* operator->() { return &*value_; }
    PendingError take_error() { return std::move(*error_); }

private:
    std::optional<T> value_;
    std::optional<PendingError> error_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(PendingError error) : error_(std::move(error)) {}  // NOLINT
    bool ok() const { return !error_.has_value(); }
    PendingError take_error() { return std::move(*error_); }

private:
    std::optional<PendingError> error_;
};

// A new reference from the interpreter, or the error it set (MemoryError when
// an allocation failed).
inline Result<Ref> created(PyObject* obj) {
    if (obj == nullptr) return PendingError::fetch();
    return Ref::steal(obj);
}

// Propagate the error of `expr` (a Result) to the caller, else bind its value.
#define MORVEX_TRY(var, expr)                                   \
    auto var##_result_ = (expr);                                \
    if (!var##_result_.ok()) return var##_result_.take_error(); \
    auto& var = *var##_result_

#define MORVEX_TRY_VOID(expr)                                 \
    do {                                                      \
        auto try_result_ = (expr);                            \
        if (!try_result_.ok()) return try_result_.take_error(); \
    } while (0)

}  // namespace morvex::ext
