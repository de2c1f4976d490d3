// CoupledLimits: the exact four-axis projection on limits fixed, checked and
// prepared once, so that every command it returns is inside them.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "actuator.h"
#include "binding/declare.h"
#include "binding/vectors.h"
#include "morvex/exact_4d.h"

namespace morvex::ext {
namespace {

struct CoupledLimits {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    MorvexLimits4 limits;      // as given, for the properties
    MorvexExact4Prepared prepared;
};

constexpr const char* kInvalidLimits =
    "limits must not be NaN, lower must not exceed upper, no lower bound may be +inf and no "
    "upper bound -inf, and row coefficients must be finite";

Result<Ref> coupled_limits_new(PyTypeObject* type, Vec4 lower, Vec4 upper, Vec4List rows,
                               DoubleList bounds) {
    if (rows.length > 4) {
        return PendingError::with_message(PyExc_ValueError, "at most 4 rows");
    }
    if (bounds.length != rows.length) {
        return PendingError::with_message(PyExc_ValueError,
                                          "rows and bounds must have the same length");
    }
    CoupledLimits value{};
    std::memcpy(value.limits.lower, lower.v, sizeof lower.v);
    std::memcpy(value.limits.upper, upper.v, sizeof upper.v);
    for (std::size_t j = 0; j < rows.length; ++j) {
        std::memcpy(value.limits.a[j], rows.items[j].v, sizeof rows.items[j].v);
        value.limits.b[j] = bounds.items[j];
    }
    value.limits.row_count = static_cast<std::uint32_t>(rows.length);
    SolveStatus status = morvex_exact_4d_prepare(&value.limits, &value.prepared);
    if (status == MORVEX_STATUS_OPTIMAL) {
        // Whether any command meets the limits does not depend on the one asked for;
        // a refusal is checked over every working set (once, at construction).
        const double origin[4] = {0.0, 0.0, 0.0, 0.0};
        MorvexExact4Result probe;
        status = morvex_exact_4d_solve_rechecked(&value.prepared, origin, &probe);
    }
    if (status == MORVEX_STATUS_INFEASIBLE) {
        return PendingError::with_message(PyExc_ValueError, "the limits admit no command");
    }
    // Valid limits whose probe double precision could not decide (bounds of 1e300 or
    // the largest double standing for no limit, say): not the message for invalid ones.
    if (status == MORVEX_STATUS_NUMERICAL_FAILURE) {
        return PendingError::with_message(
            PyExc_ValueError,
            "whether the limits admit a command could not be decided in double precision; "
            "give a bound that means no limit as inf, not as 1e300 or the largest double");
    }
    if (status != MORVEX_STATUS_OPTIMAL) {
        return PendingError::with_message(PyExc_ValueError, kInvalidLimits);
    }
    return new_instance<CoupledLimits>(type, value);
}

// The projection of one command; the limits were found feasible at construction,
// so a refusal of the solve is checked over every working set before it stands.
Result<void> project_into(const CoupledLimits& self, const double desired[4], double out[4]) {
    MorvexExact4Result result;
    const SolveStatus status = morvex_exact_4d_solve_rechecked(&self.prepared, desired, &result);
    if (status != MORVEX_STATUS_OPTIMAL) {
        for (std::size_t i = 0; i < 4; ++i) {
            if (std::isnan(desired[i])) {
                return PendingError::with_message(PyExc_ValueError, "u must not contain NaN");
            }
        }
        if (status == MORVEX_STATUS_INVALID_INPUT) {
            return PendingError::with_message(
                PyExc_ValueError,
                "u is infinite on an axis without a bound on that side that a row limits");
        }
        if (status == MORVEX_STATUS_NUMERICAL_FAILURE) {
            return PendingError::with_message(
                PyExc_ValueError,
                "u is too far beyond the limits to be projected in double precision; "
                "clamp it to the machine's range first");
        }
        // The kernel found the limits infeasible for this command although they
        // were feasible at construction: its failure, not the command's.
        return PendingError::with_message(
            PyExc_ValueError,
            "no projection was found for this u: the solver found the limits infeasible "
            "for it, though they are feasible");
    }
    std::memcpy(out, result.x, sizeof result.x);
    return {};
}

Result<Ref> project(CoupledLimits& self, Vec4 u) {
    double x[4];
    MORVEX_TRY_VOID(project_into(self, u.v, x));
    return vec4_to_python(x);
}

// A float64 (n, 4) buffer in, the same out: into `out` when given (which may be
// the input itself), else into a new memoryview over a bytearray.
Result<Ref> project_buffer(CoupledLimits& self, MatrixView& us, PyObject* out_obj) {
    Ref target;
    if (out_obj != nullptr) {
        target = Ref::borrow(out_obj);
    } else if (us.rows() == 0) {
        // memoryview cannot cast to a shape with a zero in it; built directly.
        static double nothing[4];
        static Py_ssize_t shape[2] = {0, 4};
        static Py_ssize_t strides[2] = {4 * sizeof(double), sizeof(double)};
        Py_buffer empty{};
        empty.buf = nothing;
        empty.itemsize = sizeof(double);
        empty.readonly = 0;
        empty.ndim = 2;
        empty.format = const_cast<char*>("d");
        empty.shape = shape;
        empty.strides = strides;
        target = Ref::steal(PyMemoryView_FromBuffer(&empty));
        if (!target) return PendingError::fetch();
    } else {
        Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(
            nullptr, static_cast<Py_ssize_t>(us.rows() * 4 * sizeof(double))));
        if (!bytes) return PendingError::fetch();
        Ref flat = Ref::steal(PyMemoryView_FromObject(bytes.get()));
        if (!flat) return PendingError::fetch();
        // The method's name interned, made once: CPython 3.11's method cache keeps
        // the name it was looked up with, keyed by its address, so a new string
        // per call would stay alive there, one per call, until evicted.
        static PyObject* cast_name = nullptr;
        if (cast_name == nullptr) {
            cast_name = PyUnicode_InternFromString("cast");
            if (cast_name == nullptr) return PendingError::fetch();
        }
        Ref format = Ref::steal(PyUnicode_FromString("d"));
        if (!format) return PendingError::fetch();
        Ref shape = Ref::steal(
            Py_BuildValue("(nn)", static_cast<Py_ssize_t>(us.rows()), Py_ssize_t{4}));
        if (!shape) return PendingError::fetch();
        target = Ref::steal(PyObject_CallMethodObjArgs(flat.get(), cast_name, format.get(),
                                                       shape.get(), nullptr));
        if (!target) return PendingError::fetch();
    }
    MORVEX_TRY(out, MatrixView::of(target.get(), "out", true));
    if (!out.held()) return downcast_error(target.get(), "Buffer");
    if (out.rows() != us.rows()) {
        return PendingError::with_message(PyExc_ValueError, "out must have as many rows as us");
    }
    // In place is row by row; a view shifted against us would read rows
    // already written.
    if (out.overlaps(us) && out.row(0) != us.row(0)) {
        return PendingError::with_message(
            PyExc_ValueError, "out must be the rows of us themselves or not overlap them");
    }
    for (std::size_t i = 0; i < us.rows(); ++i) {
        double desired[4];
        std::memcpy(desired, us.row(i), sizeof desired);  // `out` may be `us`
        MORVEX_TRY_VOID(project_into(self, desired, out.row(i)));
    }
    return target;
}

Result<Ref> project_batch(CoupledLimits& self, ObjectArg us, OrNone<ObjectArg> out) {
    MORVEX_TRY(matrix, MatrixView::of(us.obj, "us", false));
    if (matrix.held()) return project_buffer(self, matrix, out.value ? out.value->obj : nullptr);
    if (out.value) {
        return PendingError::with_message(PyExc_TypeError,
                                          "out is only taken with a buffer of commands");
    }
    if (Py_TYPE(us.obj)->tp_iter == nullptr && !PySequence_Check(us.obj)) {
        return PendingError::with_message(
            PyExc_TypeError,
            "us must be a sequence of commands or a float64 buffer of shape (n, 4)");
    }
    // The commands as a tuple held for the call (see held_items). What reading
    // or converting them raises is an error of the argument, as it is for an
    // argument converted before the call.
    Result<Ref> held = held_items(us.obj);
    if (!held.ok()) return argument_error("us", held.take_error());
    const Ref& items = *held;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return PendingError::fetch();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Result<Vec4> u = to_vec4(PyTuple_GET_ITEM(items.get(), i));
        if (!u.ok()) return argument_error("us", u.take_error());
        double x[4];
        MORVEX_TRY_VOID(project_into(self, u->v, x));
        MORVEX_TRY(projected, vec4_to_python(x));
        PyList_SET_ITEM(list.get(), i, projected.release());
    }
    return list;
}

Result<Ref> get_lower(CoupledLimits& self) { return vec4_to_python(self.limits.lower); }
Result<Ref> get_upper(CoupledLimits& self) { return vec4_to_python(self.limits.upper); }
Result<Ref> get_rows(CoupledLimits& self) {
    MORVEX_TRY(rows, created(PyTuple_New(self.limits.row_count)));
    for (std::uint32_t j = 0; j < self.limits.row_count; ++j) {
        MORVEX_TRY(row, vec4_to_python(self.limits.a[j]));
        PyTuple_SET_ITEM(rows.get(), j, row.release());
    }
    return std::move(rows);
}
Result<Ref> get_bounds(CoupledLimits& self) {
    MORVEX_TRY(bounds, created(PyTuple_New(self.limits.row_count)));
    for (std::uint32_t j = 0; j < self.limits.row_count; ++j) {
        MORVEX_TRY(bound, created(to_python(self.limits.b[j])));
        PyTuple_SET_ITEM(bounds.get(), j, bound.release());
    }
    return std::move(bounds);
}

}  // namespace

ClassDecl CoupledLimits::declaration = declare_class<CoupledLimits>({
    .name = "CoupledLimits",
    .doc = "Four-axis limits, a box and up to four coupled rows a . u <= b, fixed and checked at "
           "construction; project() returns the nearest command inside them.",
    .constructor = constructor<coupled_limits_new>(arg("lower"), arg("upper"),
                                                   arg("rows", Vec4List{}, "()"),
                                                   arg("bounds", DoubleList{}, "()")),
    .methods = {method<project>("project",
                                "Return the command inside the limits nearest to u, as a "
                                "4-tuple.",
                                arg("u")),
                method<project_batch>("project_batch",
                                      "Project every command of us: a sequence of 4-sequences "
                                      "(a list of 4-tuples back) or a float64 buffer of shape "
                                      "(n, 4) (written into out, or a new memoryview).",
                                      arg("us"), arg("out", none))},
    .properties = {property<get_lower>("lower"), property<get_upper>("upper"),
                   property<get_rows>("rows"), property<get_bounds>("bounds")},
});

ClassDecl& coupled_limits_class() { return CoupledLimits::declaration; }

}  // namespace morvex::ext
