// Entry points generated from a callable's body: argument parsing, the receiver
// check, conversions in declaration order, the body, then the result or the
// pending error. A class file only declares its bodies.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "args.h"
#include "convert.h"
#include "error.h"
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
struct Unwrapped {
    using type = T;
};
template <class T>
struct Unwrapped<std::optional<T>> {
    using type = T;
};
template <class T>
struct IsOrNone : std::false_type {};
template <class T>
struct IsOrNone<OrNone<T>> : std::true_type {};

// An omitted parameter takes its default without conversion: an empty optional.
template <class P>
Result<P> convert_parameter(const char* name, PyObject* slot) {
    using Target = typename Unwrapped<P>::type;
    if constexpr (!std::is_same_v<Target, P> || IsOrNone<P>::value) {
        if (slot == nullptr) return P{};
    }
    auto converted = Converter<Target>::convert(slot);
    if (!converted.ok()) return argument_error(name, converted.take_error());
    return P{std::move(*converted)};
}

inline PyObject* deliver(PendingError error) {
    std::move(error).restore();
    return nullptr;
}

template <class R>
PyObject* finish(R&& result) {
    if constexpr (requires { result.take_error(); }) {
        if (!result.ok()) return deliver(result.take_error());
        return to_python(std::move(*result));
    } else {
        return to_python(std::forward<R>(result));
    }
}

// Converts slots in declaration order (the first failure ends the call), then
// calls body(receiver, converted...).
template <auto Body, class Receiver, std::size_t... I>
PyObject* convert_and_call(const FunctionDescription& desc, Receiver&& receiver, PyObject** slots,
                           std::index_sequence<I...>) {
    using Args = typename Signature<decltype(Body)>::Arguments;
    std::tuple<std::optional<std::tuple_element_t<I, Args>>...> values;
    std::optional<PendingError> failure;
    auto step = [&]<std::size_t K>() {
        auto converted =
            convert_parameter<std::tuple_element_t<K, Args>>(desc.parameters[K], slots[K]);
        if (!converted.ok()) {
            failure.emplace(converted.take_error());
            return false;
        }
        std::get<K>(values).emplace(std::move(*converted));
        return true;
    };
    if (!(true && ... && step.template operator()<I>())) return deliver(std::move(*failure));
    return finish(Body(std::forward<Receiver>(receiver), std::move(*std::get<I>(values))...));
}

template <auto Body>
constexpr std::size_t arity = std::tuple_size_v<typename Signature<decltype(Body)>::Arguments>;

}  // namespace detail

// tp_new: Body(PyTypeObject* type, parameters...) -> Result<Ref>.
template <auto Body, const FunctionDescription& Desc>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    constexpr std::size_t n = detail::arity<Body>;
    static_assert(n == Desc.parameter_count, "the description must name every parameter");
    PyObject* slots[n > 0 ? n : 1] = {};
    if (auto parsed = parse_tuple_dict(Desc, args, kwargs, slots); !parsed.ok()) {
        return detail::deliver(parsed.take_error());
    }
    return detail::convert_and_call<Body>(Desc, type, slots, std::make_index_sequence<n>{});
}

// METH_FASTCALL | METH_KEYWORDS: Body(T& self, parameters...).
template <auto Body, const FunctionDescription& Desc>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using T = typename detail::Signature<decltype(Body)>::Receiver;
    constexpr std::size_t n = detail::arity<Body>;
    static_assert(n == Desc.parameter_count, "the description must name every parameter");
    PyObject* slots[n > 0 ? n : 1] = {};
    if (auto parsed = parse_fastcall(Desc, args, nargs, kwnames, slots); !parsed.ok()) {
        return detail::deliver(parsed.take_error());
    }
    auto receiver = self_as<T>(self);
    if (!receiver.ok()) return detail::deliver(receiver.take_error());
    return detail::convert_and_call<Body>(Desc, **receiver, slots, std::make_index_sequence<n>{});
}

// METH_NOARGS methods, getters and unary slots such as __str__: Body(T& self).
template <auto Body>
PyObject* unary(PyObject* self) {
    using T = typename detail::Signature<decltype(Body)>::Receiver;
    auto receiver = self_as<T>(self);
    if (!receiver.ok()) return detail::deliver(receiver.take_error());
    return detail::finish(Body(**receiver));
}

template <auto Body>
PyObject* noargs(PyObject* self, PyObject*) {
    return unary<Body>(self);
}

template <auto Body>
PyObject* getter(PyObject* self, void*) {
    return unary<Body>(self);
}

// Table entries.
template <auto Body, const FunctionDescription& Desc>
PyMethodDef method_def(const char* doc) {
    return {Desc.function_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<Body, Desc>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto Body>
PyMethodDef noargs_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&noargs<Body>)), METH_NOARGS, doc};
}

template <auto Body>
PyGetSetDef getter_def(const char* name) {
    return {name, &getter<Body>, nullptr, nullptr, nullptr};
}

}  // namespace morvex::ext
