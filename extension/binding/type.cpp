#include "type.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "fatal.h"

namespace morvex::ext {
namespace {

PyObject* refusing_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

// Texts written one after another into a block, or only measured while the
// block is null.
class TextSink {
public:
    explicit TextSink(char* out) : out_(out) {}
    void put(std::string_view text) {
        if (out_ != nullptr) std::memcpy(out_ + used_, text.data(), text.size());
        used_ += text.size();
    }
    // Ends the current text; returns where it starts (null while measuring).
    const char* end_text() {
        put(std::string_view("", 1));
        const char* start = out_ != nullptr ? out_ + begun_ : nullptr;
        begun_ = used_;
        return start;
    }
    std::size_t used() const { return used_; }

private:
    char* out_;
    std::size_t used_ = 0;
    std::size_t begun_ = 0;
};

// "name(first, parameters)\n--\n\n": the line from which the interpreter reads
// __text_signature__.
void put_signature_line(TextSink& sink, const char* name, std::string_view first,
                        const CallableInfo* params) {
    sink.put(name);
    sink.put("(");
    sink.put(first);
    if (params != nullptr && !params->parameter_text.empty()) {
        if (!first.empty()) sink.put(", ");
        sink.put(params->parameter_text);
    }
    sink.put(")\n--\n\n");
}

// The type's qualified name, its doc and each method's doc; when writing, the
// method docs go straight into `methods`.
void put_texts(const ClassDecl& decl, TextSink& sink, const char** qualified_name,
               const char** doc, PyMethodDef* methods) {
    sink.put("builtins.");
    sink.put(decl.name);
    *qualified_name = sink.end_text();
    if (decl.constructor.entry != nullptr) {
        put_signature_line(sink, decl.name, "", decl.constructor.parameters);
    }
    if (decl.doc != nullptr) sink.put(decl.doc);
    *doc = sink.end_text();
    for (std::size_t i = 0; i < decl.methods.size(); ++i) {
        const MethodDecl& m = decl.methods[i];
        put_signature_line(sink, m.name, "$self", m.parameters);
        sink.put(m.doc);
        const char* text = sink.end_text();
        if (methods != nullptr) methods[i] = {m.name, m.entry, m.flags, text};
    }
}

// Composes the tables and texts once, into one block that is never freed.
Result<void> compose_tables(ClassDecl& decl) {
    if (decl.method_table != nullptr) return {};
    const std::size_t method_count = decl.methods.size() + 1;
    const std::size_t property_count = decl.properties.size() + 1;
    const std::size_t tables =
        method_count * sizeof(PyMethodDef) + property_count * sizeof(PyGetSetDef);
    const char* qualified_name = nullptr;
    const char* doc = nullptr;
    TextSink measure(nullptr);
    put_texts(decl, measure, &qualified_name, &doc, nullptr);

    void* block = PyMem_RawMalloc(tables + measure.used());
    if (block == nullptr) return PendingError::no_memory();
    auto* methods = static_cast<PyMethodDef*>(block);
    auto* properties = reinterpret_cast<PyGetSetDef*>(methods + method_count);
    TextSink write(reinterpret_cast<char*>(properties + property_count));
    put_texts(decl, write, &qualified_name, &doc, methods);
    methods[method_count - 1] = {nullptr, nullptr, 0, nullptr};
    for (std::size_t i = 0; i < decl.properties.size(); ++i) properties[i] = decl.properties[i];
    properties[property_count - 1] = {nullptr, nullptr, nullptr, nullptr, nullptr};

    if (decl.constructor.parameters != nullptr) {
        decl.constructor.parameters->description.class_name = decl.name;
    }
    for (MethodDecl& m : decl.methods) {
        if (m.parameters != nullptr) m.parameters->description.class_name = decl.name;
    }
    decl.qualified_name = qualified_name;
    decl.composed_doc = doc;
    decl.property_table = properties;
    decl.method_table = methods;
    return {};
}

PyTypeObject* build_type(ClassDecl& decl) {
    if (auto composed = compose_tables(decl); !composed.ok()) {
        std::move(composed.take_error()).restore();
        return nullptr;
    }
    constexpr std::size_t kFixedSlots = 7;  // doc, methods, getset, base, new, dealloc, end
    const std::size_t count = decl.slots.size() + kFixedSlots;
    auto* slots = static_cast<PyType_Slot*>(PyMem_Malloc(count * sizeof(PyType_Slot)));
    if (slots == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::size_t n = 0;
    if (decl.composed_doc[0] != '\0') slots[n++] = {Py_tp_doc, const_cast<char*>(decl.composed_doc)};
    for (const PyType_Slot& slot : decl.slots) slots[n++] = slot;
    if (!decl.methods.empty()) slots[n++] = {Py_tp_methods, decl.method_table};
    if (!decl.properties.empty()) slots[n++] = {Py_tp_getset, decl.property_table};
    PyObject* base = decl.base != nullptr ? decl.base() : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    slots[n++] = {Py_tp_base, base};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(decl.constructor.entry != nullptr
                                                         ? decl.constructor.entry
                                                         : refusing_constructor)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(decl.dealloc)};
    slots[n++] = {0, nullptr};

    PyType_Spec spec{decl.qualified_name, static_cast<int>(decl.basicsize), 0, Py_TPFLAGS_DEFAULT,
                     slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    PyMem_Free(slots);
    return type;
}

}  // namespace

Result<PyTypeObject*> get_type_object(ClassDecl& decl) {
    if (decl.type != nullptr) return decl.type;
    PyTypeObject* type = build_type(decl);
    if (type == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return PendingError::fetch();
        PendingError cause = PendingError::fetch();
        PyObject* cause_exc = cause.exception();
        PendingError failure = PendingError::with_text(
            PyExc_RuntimeError,
            PyUnicode_FromFormat("An error occurred while initializing class %s", decl.name));
        if (failure.type() != PyExc_RuntimeError) return failure;  // formatting failed
        PyException_SetCause(failure.exception(), Py_NewRef(cause_exc));
        return failure;
    }
    decl.type = type;
    return type;
}

PyTypeObject* require_type_object(ClassDecl& decl) {
    if (decl.type != nullptr) return decl.type;
    auto type = get_type_object(decl);
    if (!type.ok()) {
        // Every type is built while its module loads, before anything can ask
        // for one; a type missing afterwards is a broken invariant.
        type.take_error().restore();
        char message[128];
        std::snprintf(message, sizeof message, "failed to create type object for %s", decl.name);
        fatal_python_error(message);
    }
    return *type;
}

Result<void> add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all_name = Ref::steal(PyUnicode_InternFromString("__all__"));
    if (!all_name) return PendingError::fetch();
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::fetch();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return PendingError::fetch();
        if (PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return PendingError::fetch();
    } else if (!PyList_Check(all.get())) {
        return downcast_error(all.get(), "PyList");
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return PendingError::fetch();
    if (PyObject_SetAttr(module, key.get(), value) < 0) return PendingError::fetch();
    return {};
}

Result<void> add_functions(PyObject* module, PyMethodDef* table) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return PendingError::fetch();
    for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
        if (!function) return PendingError::fetch();
        if (PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) {
            return PendingError::fetch();
        }
    }
    return {};
}

}  // namespace morvex::ext
