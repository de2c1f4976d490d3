#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/declare.h"
#include "binding/error.h"
#include "binding/fatal.h"
#include "binding/type.h"
#include "front_end.h"

namespace morvex::ext {
namespace {

// The message of the error, as Python would show it, with its type name.
std::string describe(PendingError error) {
    PyObject* exception = error.exception();
    Ref text = Ref::steal(PyObject_Str(exception));
    return std::string(Py_TYPE(exception)->tp_name) + ": " + PyUnicode_AsUTF8(text.get());
}

template <std::size_t N>
std::string parse_error(const FunctionDescription& desc, Ref args, PyObject* kwargs = nullptr) {
    PyObject* slots[N > 0 ? N : 1] = {};
    auto parsed = parse_tuple_dict(desc, args.get(), kwargs, slots);
    return parsed.ok() ? "ok" : describe(parsed.take_error());
}

Ref ints(int count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    for (int i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), i, PyLong_FromLong(i));
    return tuple;
}

constexpr const char* kNone[] = {""};
constexpr FunctionDescription kNoParams{"Thing", "poke", kNone, 0, 0};
constexpr const char* kFour[] = {"a", "b", "c", "d"};
constexpr FunctionDescription kFourRequired{"Thing", "__new__", kFour, 4, 4};
constexpr FunctionDescription kTwoOfFour{"Thing", "go", kFour, 4, 2};

TEST(ArgumentParsing, SingularWasForOneArgument) {
    EXPECT_EQ(parse_error<0>(kNoParams, ints(1)),
              "TypeError: Thing.poke() takes 0 positional arguments but 1 was given");
    EXPECT_EQ(parse_error<0>(kNoParams, ints(2)),
              "TypeError: Thing.poke() takes 0 positional arguments but 2 were given");
    EXPECT_EQ(parse_error<4>(kTwoOfFour, ints(5)),
              "TypeError: Thing.go() takes from 2 to 4 positional arguments but 5 were given");
}

TEST(ArgumentParsing, NameListsOfEveryLength) {
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(0)),
              "TypeError: Thing.__new__() missing 4 required positional arguments: "
              "'a', 'b', 'c', and 'd'");
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(1)),
              "TypeError: Thing.__new__() missing 3 required positional arguments: "
              "'b', 'c', and 'd'");
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(2)),
              "TypeError: Thing.__new__() missing 2 required positional arguments: 'c' and 'd'");
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(3)),
              "TypeError: Thing.__new__() missing 1 required positional argument: 'd'");
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(4)), "ok");
    EXPECT_EQ(parse_error<4>(kTwoOfFour, ints(0)),
              "TypeError: Thing.go() missing 2 required positional arguments: 'a' and 'b'");
}

TEST(ArgumentParsing, KeywordsFillGaps) {
    Ref kwargs = Ref::steal(PyDict_New());
    PyDict_SetItemString(kwargs.get(), "c", Py_None);
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(2), kwargs.get()),
              "TypeError: Thing.__new__() missing 1 required positional argument: 'd'");
    PyDict_SetItemString(kwargs.get(), "b", Py_None);
    EXPECT_EQ(parse_error<4>(kFourRequired, ints(2), kwargs.get()),
              "TypeError: Thing.__new__() got multiple values for argument 'b'");
}

// A class declared as a class file declares one: what an omitted argument
// becomes and what the signatures show both come from the one parameter list.
struct Thing {
    using PythonHead = PyObject;
    static ClassDecl declaration;
    double scale;
    std::int32_t depth;
};

std::string seen;

Result<Ref> thing_new(PyTypeObject* type, double size, double scale, std::uint64_t count,
                      OrNone<BytesArg> tag, StrArg label) {
    seen = std::to_string(size) + " " + std::to_string(scale) + " " + std::to_string(count) + " " +
           (tag.value ? "tag" : "no tag") + " [" + std::string(label.text) + "]";
    return new_instance<Thing>(type, Thing{scale, 0});
}

std::int32_t poke(Thing& self, std::int32_t depth, std::int32_t times) {
    return self.depth + depth * times;
}
double get_scale(Thing& self) { return self.scale; }

ClassDecl Thing::declaration = declare_class<Thing>({
    .name = "Thing",
    .doc = "A thing.",
    .constructor = constructor<thing_new>(arg("size"), arg("scale", 1.5), arg("count", 64),
                                          arg("tag", none), arg("label", "", "...")),
    .methods = {method<poke>("poke", "Poke it.", arg("depth"), arg("times", 3))},
    .properties = {property<get_scale>("scale")},
});

std::string attribute_text(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    Ref text = Ref::steal(PyObject_Str(value.get()));
    return PyUnicode_AsUTF8(text.get());
}

TEST(Declarations, DefaultsAndSignaturesComeFromOneList) {
    auto* type = reinterpret_cast<PyObject*>(require_type_object(Thing::declaration));
    EXPECT_EQ(attribute_text(type, "__text_signature__"),
              "(size, scale=1.5, count=64, tag=None, label=...)");
    EXPECT_EQ(attribute_text(type, "__doc__"), "A thing.");
    Ref poke_method = Ref::steal(PyObject_GetAttrString(type, "poke"));
    EXPECT_EQ(attribute_text(poke_method.get(), "__text_signature__"), "($self, depth, times=3)");

    Ref thing = Ref::steal(PyObject_CallFunction(type, "(i)", 2));
    ASSERT_TRUE(thing);
    EXPECT_EQ(seen, "2.000000 1.500000 64 no tag []");
    EXPECT_EQ(attribute_text(thing.get(), "scale"), "1.5");
    Ref poked = Ref::steal(PyObject_CallMethod(thing.get(), "poke", "(i)", 7));
    EXPECT_EQ(PyLong_AsLong(poked.get()), 21);

    Ref none_given = Ref::steal(PyObject_CallFunction(type, "(ddiOs)", 1.0, 0.25, 5, Py_None, "x"));
    ASSERT_TRUE(none_given);
    EXPECT_EQ(seen, "1.000000 0.250000 5 no tag [x]");
    ASSERT_FALSE(Ref::steal(PyObject_CallFunction(type, "(ddid)", 1.0, 1.0, 1, 1.0)));
    EXPECT_EQ(describe(PendingError::fetch()),
              "TypeError: argument 'tag': 'float' object cannot be converted to 'PyBytes'");
}

std::int32_t twice(Thing&, std::int32_t n) { return 2 * n; }

// A declaration destroyed before its type, as static declarations are at exit:
// the type's name, its tables and its docs must not live in it.
TEST(Declarations, TypeTextsOutliveTheDeclaration) {
    auto* decl = new ClassDecl(declare_class<Thing>({
        .name = "FleetingThingWithALongName",
        .doc = "Declared, built, and its declaration destroyed.",
        .methods = {method<twice>("twice", "Twice the number, with a doc that is not short.",
                                  arg("n"))},
    }));
    auto built = get_type_object(*decl);
    ASSERT_TRUE(built.ok());
    auto* type = reinterpret_cast<PyObject*>(*built);
    delete decl;
    EXPECT_STREQ(reinterpret_cast<PyTypeObject*>(type)->tp_name,
                 "builtins.FleetingThingWithALongName");
    Ref method = Ref::steal(PyObject_GetAttrString(type, "twice"));
    ASSERT_TRUE(method);
    EXPECT_EQ(attribute_text(method.get(), "__doc__"),
              "Twice the number, with a doc that is not short.");
    EXPECT_EQ(attribute_text(method.get(), "__text_signature__"), "($self, n)");
}

TEST(KeyCopies, WipedWhenDestroyed) {
    security::Key key;
    key.fill(0xA5);
    alignas(KeyCopy) unsigned char storage[sizeof(KeyCopy)];
    EXPECT_EQ(**new (storage) KeyCopy(key), key);
    std::launder(reinterpret_cast<KeyCopy*>(storage))->~KeyCopy();
    const volatile unsigned char* bytes = storage;  // read as freed memory would be
    unsigned char left = 0;
    for (std::size_t i = 0; i < key.size(); ++i) left |= bytes[i];
    EXPECT_EQ(left, 0);
}

TEST(PendingErrors, FetchWithoutAnExceptionIsASystemError) {
    PyErr_Clear();
    EXPECT_EQ(describe(PendingError::fetch()),
              "SystemError: attempted to fetch exception but none was set");
}

TEST(PendingErrors, ArgumentErrorLeavesOtherTypesAlone) {
    EXPECT_EQ(describe(argument_error("p", PendingError::with_message(PyExc_ValueError, "v"))),
              "ValueError: v");
    EXPECT_EQ(describe(argument_error("p", PendingError::with_message(PyExc_TypeError, "t"))),
              "TypeError: argument 'p': t");
}

TEST(PendingErrors, DeliveryRaisesTheException) {
    std::move(PendingError::with_message(PyExc_KeyError, "missing")).restore();
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    EXPECT_EQ(describe(PendingError::fetch()), "KeyError: 'missing'");
}

TEST(Module, AllMustBeAList) {
    Ref module = Ref::steal(PyModule_New("scratch"));
    Ref one = Ref::steal(PyLong_FromLong(1));
    ASSERT_TRUE(add_to_module(module.get(), "first", one.get()).ok());
    Ref all = Ref::steal(PyObject_GetAttrString(module.get(), "__all__"));
    ASSERT_TRUE(PyList_CheckExact(all.get()));
    EXPECT_EQ(PyList_GET_SIZE(all.get()), 1);

    PyObject_SetAttrString(module.get(), "__all__", one.get());
    auto refused = add_to_module(module.get(), "second", one.get());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(describe(refused.take_error()),
              "TypeError: 'int' object cannot be converted to 'PyList'");
}

TEST(FatalErrorsDeathTest, DiagnosticThenAbort) {
    EXPECT_DEATH(fatal_error("index 9 out of range"),
                 "fatal internal error at .*test_binding.cpp:[0-9]+.*\n"
                 "index 9 out of range\nnote: .*backtrace");
    EXPECT_DEATH(fatal_allocation_error(4096), "memory allocation of 4096 bytes failed");
    EXPECT_DEATH(
        {
            PyErr_SetString(PyExc_MemoryError, "no room");
            check_created<PyObject>(nullptr);
        },
        "MemoryError: no room(.|\n)*Python API call failed");
}

}  // namespace
}  // namespace morvex::ext

// The embedded interpreter keeps some of its own allocations until exit; leak
// reports would be about CPython, not about the binding layer.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() { return "detect_leaks=0"; }

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    const int result = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return result;
}
