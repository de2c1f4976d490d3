#include "type.h"

#include <string_view>
#include <vector>

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

// "name(first, parameters)\n--\n\n": the line from which the interpreter reads
// __text_signature__.
std::string signature_line(const char* name, std::string_view first, const CallableInfo* params) {
    std::string line = name;
    line += '(';
    line += first;
    if (params != nullptr && !params->parameter_text.empty()) {
        if (!first.empty()) line += ", ";
        line += params->parameter_text;
    }
    line += ")\n--\n\n";
    return line;
}

void compose_tables(ClassDecl& decl) {
    if (decl.constructor.entry != nullptr) {
        decl.composed_doc = signature_line(decl.name, "", decl.constructor.parameters);
        if (decl.constructor.parameters != nullptr) {
            decl.constructor.parameters->description.class_name = decl.name;
        }
    }
    decl.composed_doc += decl.doc;
    for (MethodDecl& m : decl.methods) {
        if (m.parameters != nullptr) m.parameters->description.class_name = decl.name;
        m.composed_doc = signature_line(m.name, "$self", m.parameters) + m.doc;
        decl.method_table.push_back({m.name, m.entry, m.flags, m.composed_doc.c_str()});
    }
    decl.method_table.push_back({nullptr, nullptr, 0, nullptr});
    decl.property_table = decl.properties;
    decl.property_table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
}

PyTypeObject* build_type(ClassDecl& decl) {
    if (decl.method_table.empty()) compose_tables(decl);
    std::vector<PyType_Slot> slots;
    if (!decl.composed_doc.empty()) {
        slots.push_back({Py_tp_doc, const_cast<char*>(decl.composed_doc.c_str())});
    }
    slots.insert(slots.end(), decl.slots.begin(), decl.slots.end());
    if (!decl.methods.empty()) slots.push_back({Py_tp_methods, decl.method_table.data()});
    if (!decl.properties.empty()) slots.push_back({Py_tp_getset, decl.property_table.data()});
    PyObject* base = decl.base != nullptr ? decl.base() : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    slots.push_back({Py_tp_base, base});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(decl.constructor.entry != nullptr
                                                            ? decl.constructor.entry
                                                            : refusing_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(decl.dealloc)});
    slots.push_back({0, nullptr});

    decl.qualified_name = std::string("builtins.") + decl.name;
    PyType_Spec spec{decl.qualified_name.c_str(), static_cast<int>(decl.basicsize), 0, Py_TPFLAGS_DEFAULT,
                     slots.data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

Result<PyTypeObject*> get_type_object(ClassDecl& decl) {
    if (decl.type != nullptr) return decl.type;
    PyTypeObject* type = build_type(decl);
    if (type == nullptr) {
        PendingError cause = PendingError::fetch();
        PyObject* cause_exc = cause.exception();
        PendingError failure = PendingError::with_message(
            PyExc_RuntimeError, std::string("An error occurred while initializing class ") + decl.name);
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
        type.take_error().restore();
        const std::string message = std::string("failed to create type object for ") + decl.name;
        fatal_python_error(message.c_str());
    }
    return *type;
}

Result<void> add_to_module(PyObject* module, const char* name, PyObject* value) {
    static PyObject* all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) return PendingError::fetch();
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::fetch();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return PendingError::fetch();
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) return PendingError::fetch();
    } else if (!PyList_Check(all.get())) {
        return downcast_error(all.get(), "PyList");
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) {
        fatal_error("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, key.get(), value) < 0) return PendingError::fetch();
    return {};
}

}  // namespace morvex::ext
