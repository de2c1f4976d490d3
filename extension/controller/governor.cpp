// Governor: projects scalar commands into a fixed envelope with the scalar kernel.
#include <cstddef>

#include "binding/declare.h"
#include "classes.h"
#include "morvex/core.h"
#include "scalar_projection.h"

namespace morvex::ext {
namespace {

struct Governor {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    float min_bound;
    float max_bound;

    // The kernel's one row reads u <= max_bound; then one more clamp into the
    // envelope (which never changes a value under the constructor's invariant).
    float projected(float x) const {
        const float u = core::project_scalar(1.0f, max_bound, x, min_bound, max_bound).u;
        if (u < min_bound) return min_bound;
        if (u > max_bound) return max_bound;
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
    return new_instance<Governor>(type, Governor{lo, hi});
}

double project(Governor& self, double u_desired) {
    return static_cast<double>(self.projected(static_cast<float>(u_desired)));
}

// With a = 1 and b = max_bound the kernel reduces to the lower-first clamp into
// [min_bound, max_bound] (min_bound < max_bound, neither NaN), which compiles to
// compare-and-select: the loop vectorises and stays bit-identical to projected().
void project_in_place(float* values, std::size_t count, float lo, float hi) {
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = core::clamp_lower_first(values[i], lo, hi);
    }
}

Result<Ref> project_batch(Governor& self, F32Buffer u_vec) {
    project_in_place(u_vec.data(), u_vec.size(), self.min_bound, self.max_bound);
    const std::size_t count = u_vec.size();
    MORVEX_TRY(list, created(PyList_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = to_python(static_cast<double>(u_vec.data()[i]));
        if (item == nullptr) return PendingError::fetch();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return std::move(list);
}

}  // namespace

ClassDecl Governor::declaration = declare_class<Governor>({
    .name = "Governor",
    .doc = "Python wrapper around the Morvex scalar active-set projection kernel.",
    .constructor = constructor<governor_new>(arg("min_bound"), arg("max_bound")),
    .methods = {
        method<project>("project",
                        "Project a single scalar actuator command into the safe envelope.",
                        arg("u_desired")),
        method<project_batch>("project_batch",
                              "Project a vector of actuator commands in a single call.",
                              arg("u_vec")),
    },
});

ClassDecl& governor_class() { return Governor::declaration; }

}  // namespace morvex::ext
