// The wire frames of morvex/wire.h for Python (re-exported by morvex.wire):
// the three encoders, the stream decoder, and the named tuples it delivers.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "actuator.h"
#include "binding/declare.h"
#include "morvex/wire.h"

namespace morvex::ext {
namespace {

constexpr const char* QUALIFIER = "morvex.wire";

// The named tuples of morvex.wire and the violation_type text of each result
// a verdict carries: made once, live until the process ends.
PyObject* command_type = nullptr;
PyObject* verdict_type = nullptr;
PyObject* session_type = nullptr;
constexpr std::array<std::uint32_t, 8> RESULTS = {
    MORVEX_GATE_ACCEPTED,           MORVEX_GATE_INVALID_POINTER,
    MORVEX_GATE_INVALID_RECEIPT,    MORVEX_GATE_INVALID_KEY_LENGTH,
    MORVEX_GATE_AUTHENTICATION_FAILURE, MORVEX_GATE_REPLAY_COUNTER,
    MORVEX_GATE_REPLAY_NONCE,       MORVEX_GATE_STALE_RECEIPT};
std::array<PyObject*, MORVEX_GATE_STALE_RECEIPT + 1> result_text{};

// Integers out of range are a ValueError here, as wrong lengths are.
struct Axis {
    std::int32_t value;
};
struct SequenceId {
    std::uint64_t value;
};

template <class Parsed, class T>
Result<T> in_range(Parsed parsed, const char* message) {
    if (parsed.ok()) return T{*parsed};
    PendingError error = parsed.take_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_OverflowError)) return error;
    return PendingError::with_message(PyExc_ValueError, message);
}

}  // namespace

template <>
struct Converter<Axis> {
    static Result<Axis> convert(PyObject* obj) {
        return in_range<Result<std::int32_t>, Axis>(to_i32(obj),
                                                    "axis must be a signed 32-bit integer");
    }
};
template <>
struct Converter<SequenceId> {
    static Result<SequenceId> convert(PyObject* obj) {
        return in_range<Result<std::uint64_t>, SequenceId>(
            to_u64(obj), "sequence_id must be an unsigned 64-bit integer");
    }
};

namespace {

Result<Ref> encoded(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) fatal_error("a wire frame could not be encoded");
    return created(bytes_to_python(bytes, size));
}

Result<Ref> encode_command(ModuleScope, Axis axis, double requested_position,
                           double commanded_velocity, ByteView receipt_hash) {
    if (receipt_hash.size() != MORVEX_GATE_RECEIPT_LEN) {
        return PendingError::with_message(PyExc_ValueError,
                                          "receipt_hash must be exactly 60 bytes");
    }
    morvex_wire_command command{axis.value, requested_position, commanded_velocity, {}};
    std::memcpy(command.receipt, receipt_hash.data(), MORVEX_GATE_RECEIPT_LEN);
    std::uint8_t out[MORVEX_WIRE_MAX_ENCODED];
    return encoded(out, morvex_wire_encode_command(&command, out, sizeof out));
}

Result<Ref> encode_verdict(ModuleScope, SequenceId sequence_id, Axis axis, StrArg violation_type) {
    for (std::uint32_t result : RESULTS) {
        if (violation_type.text != (result == 0 ? "" : morvex_gate_code_string(result))) continue;
        const morvex_wire_verdict verdict{sequence_id.value, axis.value, result};
        std::uint8_t out[MORVEX_WIRE_MAX_ENCODED];
        return encoded(out, morvex_wire_encode_verdict(&verdict, out, sizeof out));
    }
    return PendingError::with_message(
        PyExc_ValueError, "violation_type must be \"\" (accepted) or a refusal code of the receipt "
                          "gate, not \"" + std::string(violation_type.text) + "\"");
}

Result<Ref> encode_session(ModuleScope, ByteView session_id) {
    if (session_id.size() != MORVEX_WIRE_SESSION_ID_LEN) {
        return PendingError::with_message(PyExc_ValueError, "session_id must be exactly 16 bytes");
    }
    morvex_wire_session session;
    std::memcpy(session.session_id, session_id.data(), MORVEX_WIRE_SESSION_ID_LEN);
    std::uint8_t out[MORVEX_WIRE_MAX_ENCODED];
    return encoded(out, morvex_wire_encode_session(&session, out, sizeof out));
}

// An instance of a named tuple class, filled directly as tuple.__new__ would.
Result<Ref> named_tuple(PyObject* type, std::initializer_list<PyObject*> items) {
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    Ref made = Ref::steal(cls->tp_alloc(cls, static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t at = 0;
    bool complete = true;
    for (PyObject* item : items) {  // every item is taken, made or not
        if (item == nullptr || !made) {
            complete = false;
            Py_XDECREF(item);
        } else {
            PyTuple_SET_ITEM(made.get(), at, item);
        }
        ++at;
    }
    if (!complete) return PendingError::fetch();
    return made;
}

Result<Ref> frame_object(const morvex_wire_frame& frame) {
    switch (frame.type) {
        case MORVEX_WIRE_COMMAND: {
            const morvex_wire_command& c = frame.as.command;
            return named_tuple(command_type,
                               {PyLong_FromLong(c.axis), PyFloat_FromDouble(c.requested_position),
                                PyFloat_FromDouble(c.commanded_velocity),
                                bytes_to_python(c.receipt, sizeof c.receipt)});
        }
        case MORVEX_WIRE_VERDICT: {
            const morvex_wire_verdict& v = frame.as.verdict;
            return named_tuple(verdict_type, {PyLong_FromUnsignedLongLong(v.sequence_id),
                                              PyLong_FromLong(v.axis),
                                              Py_NewRef(result_text[v.result])});
        }
        default:
            return named_tuple(session_type,
                               {bytes_to_python(frame.as.session.session_id,
                                                MORVEX_WIRE_SESSION_ID_LEN)});
    }
}

struct Decoder {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    Decoder() { morvex_wire_decoder_init(&state); }
    morvex_wire_decoder state;  // used with the interpreter lock held
};

Result<Ref> decoder_new(PyTypeObject* type) { return new_instance<Decoder>(type); }

Result<Ref> feed(Decoder& self, ByteView data) {
    MORVEX_TRY(frames, created(PyList_New(0)));
    const std::uint8_t* at = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        morvex_wire_frame frame;
        const std::size_t used = morvex_wire_decoder_feed(&self.state, at, left, &frame);
        at += used;
        left -= used;
        if (frame.type == MORVEX_WIRE_NONE) continue;
        MORVEX_TRY(item, frame_object(frame));
        if (PyList_Append(frames.get(), item.get()) < 0) return PendingError::fetch();
    }
    return std::move(frames);
}

std::uint64_t get_corrupt(Decoder& self) { return self.state.corrupt; }
std::uint64_t get_unsupported(Decoder& self) { return self.state.unsupported; }

Result<Ref> make_named_tuple(PyObject* factory, const char* name, const char* fields,
                             const char* doc) {
    MORVEX_TRY(cls, created(PyObject_CallFunction(factory, "ss", name, fields)));
    Ref module = Ref::steal(PyUnicode_FromString(QUALIFIER));
    Ref text = Ref::steal(PyUnicode_FromString(doc));
    if (!module || !text || PyObject_SetAttrString(cls.get(), "__module__", module.get()) < 0 ||
        PyObject_SetAttrString(cls.get(), "__doc__", text.get()) < 0) {
        return PendingError::fetch();
    }
    return std::move(cls);
}

}  // namespace

ClassDecl Decoder::declaration = declare_class<Decoder>({
    .name = "Decoder",
    .doc = "Finds the frames in a byte stream: feed() it bytes as they arrive, in pieces of any "
           "size, and get the frames completed so far; damaged frames are dropped and counted.",
    .constructor = constructor<decoder_new>(),
    .methods = {method<feed>("feed",
                             "Read bytes (any bytes-like object) and return the frames they "
                             "complete, in order: Command, Verdict and Session tuples.",
                             arg("data"))},
    .properties = {property<get_corrupt>("corrupt"), property<get_unsupported>("unsupported")},
});

Result<void> add_wire(PyObject* module) {
    if (command_type == nullptr) {
        Ref collections = Ref::steal(PyImport_ImportModule("collections"));
        if (!collections) return PendingError::fetch();
        Ref factory = Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
        if (!factory) return PendingError::fetch();
        MORVEX_TRY(command,
                   make_named_tuple(factory.get(), "Command",
                                    "axis requested_position commanded_velocity receipt_hash",
                                    "A command frame: the command and the 60-byte receipt issued "
                                    "for it."));
        MORVEX_TRY(verdict, make_named_tuple(
                                factory.get(), "Verdict", "sequence_id axis violation_type",
                                "A verdict frame: the receipt's sequence id, the axis, and \"\" "
                                "for an accepted command or the receipt gate's refusal code."));
        MORVEX_TRY(session, make_named_tuple(factory.get(), "Session", "session_id",
                                             "A session frame: the 16-byte session id."));
        for (std::uint32_t result : RESULTS) {
            result_text[result] =
                PyUnicode_InternFromString(result == 0 ? "" : morvex_gate_code_string(result));
            if (result_text[result] == nullptr) return PendingError::fetch();
        }
        command_type = command.release();
        verdict_type = verdict.release();
        session_type = session.release();
    }
    // Re-exported by morvex.wire, not by morvex: outside the module's __all__.
    MORVEX_TRY(decoder, get_type_object(Decoder::declaration));
    for (auto [name, cls] : {std::pair{"Command", command_type}, std::pair{"Verdict", verdict_type},
                             std::pair{"Session", session_type},
                             std::pair{"Decoder", reinterpret_cast<PyObject*>(decoder)}}) {
        if (PyModule_AddObjectRef(module, name, cls) < 0) return PendingError::fetch();
    }
    static PyMethodDef functions[] = {
        function<encode_command>(
            QUALIFIER, "encode_command",
            "Return the command frame (bytes, delimiter included) of a command and its 60-byte "
            "receipt.",
            arg("axis"), arg("requested_position"), arg("commanded_velocity"), arg("receipt_hash")),
        function<encode_verdict>(QUALIFIER, "encode_verdict",
                                 "Return the verdict frame of a checked command: violation_type "
                                 "is \"\" when it was accepted, else the gate's refusal code.",
                                 arg("sequence_id"), arg("axis"), arg("violation_type")),
        function<encode_session>(QUALIFIER, "encode_session",
                                 "Return the session frame announcing a 16-byte session id.",
                                 arg("session_id")),
        {},
    };
    return add_functions(module, functions);
}

}  // namespace morvex::ext
