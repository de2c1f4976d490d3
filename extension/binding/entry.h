// Entry points generated from a callable's body: argument parsing, the receiver
// check, conversions in declaration order (an omitted parameter takes its
// declared default), the body, then the result or the pending error. A class
// file declares its bodies with declare.h and never names these directly.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "args.h"
#include "convert.h"
#include "error.h"
#include "fatal.h"
#include "type.h"

namespace morvex::ext {

namespace detail {

template <class F>
struct Signature;
template <class R, class First, class... Params>
struct Signature<R (*)(First, Params...)> {
    using Receiver = std::remove_cvref_t<First>;
    using Arguments = std::tuple<Params...>;
};

template <class T>
struct Defaults;
template <class... P>
struct Defaults<std::tuple<P...>> {
    using type = std::tuple<std::optional<P>...>;
};

}  // namespace detail

// The parameters declared for Body (see declare.h), filled once while the
// extension loads and read by Body's entry point on every call.
template <auto Body>
struct Declared {
    using Arguments = typename detail::Signature<decltype(Body)>::Arguments;
    static constexpr std::size_t arity = std::tuple_size_v<Arguments>;
    static inline CallableInfo info{};
    static inline const char* names[arity > 0 ? arity : 1] = {};
    static inline typename detail::Defaults<Arguments>::type defaults{};
};

namespace detail {

// An omitted parameter takes its declared default without conversion.
template <class P>
Result<P> convert_parameter(const char* name, PyObject* slot, const std::optional<P>& fallback) {
    if (slot == nullptr) {
        if constexpr (std::is_copy_constructible_v<P>) {
            if (fallback) return P{*fallback};
        }
        fatal_error("a parameter without a default was omitted");
    }
    auto converted = Converter<P>::convert(slot);
    if (!converted.ok()) return argument_error(name, converted.take_error());
    return P{std::move(*converted)};
}

// What a call hands its entry point: a new reference, or the error to deliver.
struct Outcome {
    PyObject* value = nullptr;
    std::optional<PendingError> error;
};

inline Outcome failed(PendingError error) { return {nullptr, std::move(error)}; }

template <class R>
Outcome finish(R&& result) {
    if constexpr (requires { result.take_error(); }) {
        if (!result.ok()) return failed(result.take_error());
        return {to_python(std::move(*result)), std::nullopt};
    } else {
        return {to_python(std::forward<R>(result)), std::nullopt};
    }
}

// Building the exception may run Python code (a replaced __new__ or __init__)
// that calls back into the module: it happens here, in the entry point, once
// the call's frame (with the body's locals inlined into it) is gone, so that
// such a recursion costs no more C stack per level than the interpreter's own.
inline PyObject* deliver(Outcome outcome) {
    if (outcome.error) {
        std::move(*outcome.error).restore();
        return nullptr;
    }
    return outcome.value;
}

// Converts slots in declaration order (the first failure ends the call), then
// calls body(receiver, converted...).
template <auto Body, class Receiver, std::size_t... I>
Outcome convert_and_call(Receiver&& receiver, PyObject** slots, std::index_sequence<I...>) {
    using D = Declared<Body>;
    using Args = typename D::Arguments;
    std::tuple<std::optional<std::tuple_element_t<I, Args>>...> values;
    std::optional<PendingError> failure;
    auto step = [&]<std::size_t K>() {
        auto converted = convert_parameter<std::tuple_element_t<K, Args>>(
            D::names[K], slots[K], std::get<K>(D::defaults));
        if (!converted.ok()) {
            failure.emplace(converted.take_error());
            return false;
        }
        std::get<K>(values).emplace(std::move(*converted));
        return true;
    };
    (void)step;  // a callable without parameters converts nothing
    if (!(true && ... && step.template operator()<I>())) return failed(std::move(*failure));
    return finish(Body(std::forward<Receiver>(receiver), std::move(*std::get<I>(values))...));
}

}  // namespace detail

// The receiver of a module-level function, which has none.
struct ModuleScope {};

namespace detail {

// The calls behind the entry points below, each in a frame of its own.
template <auto Body>
[[gnu::noinline]] Outcome constructor_call(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    constexpr std::size_t n = Declared<Body>::arity;
    PyObject* slots[n > 0 ? n : 1] = {};
    if (auto parsed = parse_tuple_dict(Declared<Body>::info.description, args, kwargs, slots);
        !parsed.ok()) {
        return failed(parsed.take_error());
    }
    return convert_and_call<Body>(type, slots, std::make_index_sequence<n>{});
}

template <auto Body>
[[gnu::noinline]] Outcome method_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    using T = typename Signature<decltype(Body)>::Receiver;
    constexpr std::size_t n = Declared<Body>::arity;
    PyObject* slots[n > 0 ? n : 1] = {};
    if (auto parsed = parse_fastcall(Declared<Body>::info.description, args, nargs, kwnames, slots);
        !parsed.ok()) {
        return failed(parsed.take_error());
    }
    auto receiver = self_as<T>(self);
    if (!receiver.ok()) return failed(receiver.take_error());
    return convert_and_call<Body>(**receiver, slots, std::make_index_sequence<n>{});
}

template <auto Body>
[[gnu::noinline]] Outcome function_call(PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    constexpr std::size_t n = Declared<Body>::arity;
    PyObject* slots[n > 0 ? n : 1] = {};
    if (auto parsed = parse_fastcall(Declared<Body>::info.description, args, nargs, kwnames, slots);
        !parsed.ok()) {
        return failed(parsed.take_error());
    }
    return convert_and_call<Body>(ModuleScope{}, slots, std::make_index_sequence<n>{});
}

template <auto Body>
[[gnu::noinline]] Outcome unary_call(PyObject* self) {
    using T = typename Signature<decltype(Body)>::Receiver;
    auto receiver = self_as<T>(self);
    if (!receiver.ok()) return failed(receiver.take_error());
    return finish(Body(**receiver));
}

}  // namespace detail

// tp_new: Body(PyTypeObject* type, parameters...) -> Result<Ref>.
template <auto Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return detail::deliver(detail::constructor_call<Body>(type, args, kwargs));
}

// METH_FASTCALL | METH_KEYWORDS: Body(T& self, parameters...).
template <auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return detail::deliver(detail::method_call<Body>(self, args, nargs, kwnames));
}

// A module-level function, METH_FASTCALL | METH_KEYWORDS: Body(ModuleScope, parameters...).
template <auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return detail::deliver(detail::function_call<Body>(args, nargs, kwnames));
}

// METH_NOARGS methods, getters and unary slots such as __str__: Body(T& self).
template <auto Body>
PyObject* unary(PyObject* self) {
    return detail::deliver(detail::unary_call<Body>(self));
}

template <auto Body>
PyObject* noargs(PyObject* self, PyObject*) {
    return unary<Body>(self);
}

template <auto Body>
PyObject* getter(PyObject* self, void*) {
    return unary<Body>(self);
}

}  // namespace morvex::ext
