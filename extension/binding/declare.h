// How a class file declares its callables and itself. A callable is declared
// once, next to its body: its name, its doc and one parameter list in which a
// parameter either is required or carries its default. The count, the order in
// which arguments are matched, the value an omitted argument takes and the
// text signature shown by help() and inspect all come from that one list.
//
//     ClassDecl Thing::declaration = declare_class<Thing>({
//         .name = "Thing",
//         .doc = "What a thing is.",
//         .constructor = constructor<thing_new>(arg("size"), arg("scale", 1.5)),
//         .methods = {method<poke>("poke", "Poke it.", arg("depth", 0))},
//         .properties = {property<get_size>("size")},
//     });
//
// gives Thing(size, scale=1.5) and Thing.poke($self, depth=0); thing_new
// receives 1.5 when scale is omitted and poke receives 0 when depth is.
#pragma once

#include <Python.h>

#include <charconv>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "entry.h"
#include "type.h"

namespace morvex::ext {

// A parameter with no default.
struct RequiredArg {
    const char* name;
};

// None as a default: the parameter (an OrNone<T>) is empty when omitted.
struct NoneDefault {};
inline constexpr NoneDefault none{};

// A parameter with a default value; `shown` is the text of the default in the
// signature, composed from the value when it is a number or None.
template <class V>
struct DefaultedArg {
    const char* name;
    V value;
    const char* shown;
};

constexpr RequiredArg arg(const char* name) { return {name}; }

template <class V>
constexpr DefaultedArg<V> arg(const char* name, V value, const char* shown = nullptr) {
    return {name, value, shown};
}

namespace detail {

template <class A>
constexpr bool is_required = std::is_same_v<A, RequiredArg>;

template <class... A>
constexpr std::size_t leading_required() {
    std::size_t n = 0;
    bool leading = true;
    ((leading = leading && is_required<A>, n += leading ? 1 : 0), ...);
    return n;
}

template <class V>
std::string shown_default(const DefaultedArg<V>& a) {
    if (a.shown != nullptr) return a.shown;
    if constexpr (std::is_same_v<V, NoneDefault>) {
        return "None";
    } else if constexpr (std::is_arithmetic_v<V>) {
        char text[32];
        return std::string(text, std::to_chars(text, text + sizeof text, a.value).ptr);
    } else {
        fatal_error("a default that is not a number or None names the text it shows");
    }
}

template <class P, class V>
P default_value(const V& value) {
    if constexpr (std::is_same_v<V, NoneDefault>) {
        static_assert(IsOrNone<P>::value, "only an OrNone parameter defaults to None");
        return P{};
    } else if constexpr (std::is_arithmetic_v<P>) {
        return static_cast<P>(value);
    } else {
        return P{value};
    }
}

// Records parameter K of Body: its name, its default and its signature text.
template <auto Body, std::size_t K, class A>
void record_parameter(const A& a, std::string& text) {
    using D = Declared<Body>;
    D::names[K] = a.name;
    if (K > 0) text += ", ";
    text += a.name;
    if constexpr (!is_required<A>) {
        using P = std::tuple_element_t<K, typename D::Arguments>;
        std::get<K>(D::defaults).emplace(default_value<P>(a.value));
        text += '=';
        text += shown_default(a);
    }
}

template <auto Body, class... A, std::size_t... K>
CallableInfo* declare_parameters(const char* function_name, std::index_sequence<K...>,
                                 const A&... args) {
    using D = Declared<Body>;
    static_assert(sizeof...(A) == D::arity, "declare every parameter of the body, in order");
    constexpr std::size_t required_count = leading_required<A...>();
    static_assert(((K < required_count || !is_required<A>) && ...),
                  "a required parameter follows one with a default");
    std::string text;
    (record_parameter<Body, K>(args, text), ...);
    D::info.description = {nullptr, function_name, D::names, D::arity, required_count};
    D::info.parameter_text = std::move(text);
    return &D::info;
}

template <class F>
PyCFunction as_method(F* entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace detail

// A constructor: Body(PyTypeObject* type, parameters...) -> Result<Ref>.
template <auto Body, class... A>
ConstructorDecl constructor(const A&... args) {
    return {&constructor_entry<Body>,
            detail::declare_parameters<Body>("__new__", std::index_sequence_for<A...>{}, args...)};
}

// A module-level function: Body(ModuleScope, parameters...). Argument errors
// name it "{qualifier}.{name}()"; its doc starts with its text signature. The
// definition lives as long as the process (add it with add_functions).
template <auto Body, class... A>
PyMethodDef function(const char* qualifier, const char* name, const char* doc, const A&... args) {
    CallableInfo* info =
        detail::declare_parameters<Body>(name, std::index_sequence_for<A...>{}, args...);
    info->description.class_name = qualifier;
    info->function_doc = std::string(name) + "(" + info->parameter_text + ")\n--\n\n" + doc;
    return {name, detail::as_method(&function_entry<Body>), METH_FASTCALL | METH_KEYWORDS,
            info->function_doc.c_str()};
}

// A method: Body(T& self, parameters...). Without parameters it is METH_NOARGS.
template <auto Body, class... A>
MethodDecl method(const char* name, const char* doc, const A&... args) {
    if constexpr (sizeof...(A) == 0 && Declared<Body>::arity == 0) {
        return {name, doc, detail::as_method(&noargs<Body>), METH_NOARGS, nullptr};
    } else {
        return {name, doc, detail::as_method(&method_entry<Body>), METH_FASTCALL | METH_KEYWORDS,
                detail::declare_parameters<Body>(name, std::index_sequence_for<A...>{}, args...)};
    }
}

// A read-only attribute: Body(T& self).
template <auto Body>
PyGetSetDef property(const char* name) {
    return {name, &getter<Body>, nullptr, nullptr, nullptr};
}

// A special method taking only self, such as Py_tp_str: Body(T& self).
template <auto Body>
PyType_Slot unary_slot(int slot) {
    return {slot, reinterpret_cast<void*>(&unary<Body>)};
}

// The class's declaration completed from T: instance size and deallocation.
template <class T>
ClassDecl declare_class(ClassSpec spec) {
    return ClassDecl{std::move(spec), static_cast<Py_ssize_t>(sizeof(Instance<T>)),
                     &default_dealloc<T>};
}

}  // namespace morvex::ext
