// Governor: projects scalar commands into a fixed envelope with the scalar kernel.
#include <cstddef>

#include "binding/entry.h"
#include "classes.h"
#include "morvex/core.h"
#include "scalar_projection.h"

namespace morvex::ext {
namespace {

struct Governor {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    ScalarConstraints constraints;
    ScalarBounds bounds;

    // The kernel, then one more clamp into the envelope (which never changes a
    // value under the constructor's invariant).
    float project(float x) const {
        const float u = core::project_scalar(constraints.a[0], constraints.b[0], x,
                                             bounds.min_bound, bounds.max_bound)
                            .u;
        if (u < bounds.min_bound) return bounds.min_bound;
        if (u > bounds.max_bound) return bounds.max_bound;
        return u;
    }
};

Result<Ref> governor_new(PyTypeObject* type, double min_bound, double max_bound) {
    const auto lo = static_cast<float>(min_bound);
    const auto hi = static_cast<float>(max_bound);
    if (!(hi > lo)) {  // also refuses NaN on either side
        return PendingError::with_message(PyExc_ValueError,
                                          "min_bound must be strictly less than max_bound");
    }
    return new_instance<Governor>(type, Governor{{{1.0f, -1.0f, 0.0f, 0.0f}, {hi, -lo, 0.0f, 0.0f}},
                                                 {lo, hi}});
}

double project(Governor& self, double u_desired) {
    return static_cast<double>(self.project(static_cast<float>(u_desired)));
}

// With a = 1 and b = max_bound the kernel reduces to the lower-first clamp into
// [min_bound, max_bound] (min_bound < max_bound, neither NaN), which compiles to
// compare-and-select: the loop vectorises and stays bit-identical to project().
void project_in_place(float* values, std::size_t count, float lo, float hi) {
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = core::clamp_lower_first(values[i], lo, hi);
    }
}

Ref project_batch(Governor& self, F32Buffer u_vec) {
    project_in_place(u_vec.data(), u_vec.size(), self.bounds.min_bound, self.bounds.max_bound);
    const std::size_t count = u_vec.size();
    Ref list = Ref::steal(check_created(PyList_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        to_python(static_cast<double>(u_vec.data()[i])));
    }
    return list;
}

constexpr const char* kNewParams[] = {"min_bound", "max_bound"};
constexpr FunctionDescription kNew{"Governor", "__new__", kNewParams, 2, 2};
constexpr const char* kProjectParams[] = {"u_desired"};
constexpr FunctionDescription kProject{"Governor", "project", kProjectParams, 1, 1};
constexpr const char* kBatchParams[] = {"u_vec"};
constexpr FunctionDescription kBatch{"Governor", "project_batch", kBatchParams, 1, 1};

PyMethodDef methods[] = {
    method_def<project, kProject>(
        "project($self, u_desired)\n--\n\n"
        "Project a single scalar actuator command into the safe envelope."),
    method_def<project_batch, kBatch>(
        "project_batch($self, u_vec)\n--\n\n"
        "Project a vector of actuator commands in a single call."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassDecl Governor::declaration{
    .name = "Governor",
    .doc = "Python wrapper around the Morvex scalar active-set projection kernel.",
    .text_signature = "(min_bound, max_bound)",
    .base = nullptr,
    .basicsize = sizeof(Instance<Governor>),
    .constructor = &constructor<governor_new, kNew>,
    .methods = methods,
    .properties = nullptr,
    .special_slots = nullptr,
    .dealloc = &default_dealloc<Governor>,
};

ClassDecl& governor_class() { return Governor::declaration; }

}  // namespace morvex::ext
