// MorvBoundary: authorizes actuator commands against a velocity limit and a rate
// limit and answers with signed, replay-protected receipts.
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "binding/entry.h"
#include "classes.h"
#include "morvex/security/boundary.h"
#include "morvex/security/command.h"
#include "number_format.h"
#include "rate_window.h"

namespace morvex::ext {
namespace {

namespace sec = morvex::security;

// The description of a failed random request, in the system's words.
std::string random_failure_text(int error_number) {
    if (error_number <= 0) return "errno: did not return a positive value";
    if (const char* text = strerrordesc_np(error_number)) return text;
    return "OS Error: " + std::to_string(error_number);
}

struct Admission {
    enum Outcome { Admitted, RateLimited, NonceFailed, Refused } outcome;
    sec::AuthorizationReceipt receipt{};
    int error_number = 0;
    sec::SecurityError error{};  // meaningful only for Refused
};

struct MorvBoundary {
    using PythonHead = PyObject;
    static ClassDecl declaration;

    MorvBoundary(std::uint64_t rate, double max_velocity, const sec::Key& key)
        : rate_limit(rate), max_velocity_rad_s(max_velocity), interceptor(key),
          window{now_nanos()} {}

    const std::uint64_t rate_limit;
    const double max_velocity_rad_s;
    std::atomic<std::uint64_t> sequence_counter{0};
    std::mutex mutex;
    // Guarded by `mutex`:
    sec::BoundaryInterceptor interceptor;
    RateWindow window;

    // Everything that needs the lock, and nothing that touches Python.
    Admission admit(const sec::AxisActionId& id, const sec::Payload& payload) {
        std::lock_guard<std::mutex> guard(mutex);
        const std::uint64_t now = now_nanos();
        if (!window.admit(now, rate_limit)) return {Admission::RateLimited};
        const std::uint64_t sequence_id = sequence_counter.fetch_add(1) + 1;
        sec::Nonce nonce;
        errno = 0;
        if (getrandom(nonce.data(), nonce.size(), 0) != static_cast<ssize_t>(nonce.size())) {
            return {Admission::NonceFailed, {}, errno};
        }
        const auto issued = interceptor.issue_receipt(nonce, now, sequence_id, id.bytes(), payload);
        if (!issued) return {Admission::Refused, {}, 0, issued.error()};
        const sec::SecurityStatus checked =
            interceptor.intercept_and_authorize(id.bytes(), payload, issued.value());
        if (!checked) return {Admission::Refused, {}, 0, checked.error()};
        return {Admission::Admitted, issued.value()};
    }
};

Result<Ref> boundary_new(PyTypeObject* type, std::optional<std::uint64_t> rate_limit,
                         std::optional<double> max_velocity_rad_s,
                         std::optional<std::uint64_t> monotonic_window_size,
                         OrNone<BytesArg> hmac_key) {
    (void)monotonic_window_size;  // validated only: the replay window is fixed at 1024
    std::optional<sec::Key> key = trial_key();
    if (hmac_key.value) {
        key = boundary_key(*hmac_key.value);
        if (!key) {
            return PendingError::with_message(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
        }
    }
    return new_instance<MorvBoundary>(type, rate_limit.value_or(1000),
                                      max_velocity_rad_s.value_or(4.18), *key);
}

PendingError velocity_refusal(std::int32_t axis, double velocity, double limit) {
    char text[2 * kMaxFormattedDouble + 64];
    char* p = text;
    const auto put = [&p](std::string_view part) {
        std::memcpy(p, part.data(), part.size());
        p += part.size();
    };
    char number[kMaxFormattedDouble];
    put("commanded_velocity ");
    put(format_double(velocity, number));
    put(" rad/s exceeds max_velocity_rad_s ");
    put(format_double(limit, number));
    put(" rad/s");
    return violation(axis, "velocity_exceeded",
                     std::string_view(text, static_cast<std::size_t>(p - text)));
}

Result<Ref> authorize_action(MorvBoundary& self, std::int32_t target_axis,
                             double requested_position, double commanded_velocity) {
    // Fails closed: a NaN on either side is refused.
    if (!(std::fabs(commanded_velocity) <= self.max_velocity_rad_s)) {
        return velocity_refusal(target_axis, commanded_velocity, self.max_velocity_rad_s);
    }
    const sec::AxisActionId id = sec::axis_action_id(target_axis);
    const Admission admission =
        self.admit(id, sec::command_payload(requested_position, commanded_velocity));
    switch (admission.outcome) {
        case Admission::RateLimited:
            return violation(target_axis, "rate_limited", "action rate limit exceeded");
        case Admission::NonceFailed:
            return PendingError::with_message(
                PyExc_RuntimeError,
                "failed to generate nonce: " + random_failure_text(admission.error_number));
        case Admission::Refused:
            return morv_error_to_py_err(target_axis, admission.error);
        case Admission::Admitted:
            break;
    }
    return new_receipt(std::string(id.view()), requested_position, commanded_velocity,
                       admission.receipt);
}

constexpr const char* kNewParams[] = {"rate_limit", "max_velocity_rad_s", "monotonic_window_size",
                                      "hmac_key"};
constexpr FunctionDescription kNew{"MorvBoundary", "__new__", kNewParams, 4, 0};
constexpr const char* kAuthorizeParams[] = {"target_axis", "requested_position",
                                            "commanded_velocity"};
constexpr FunctionDescription kAuthorize{"MorvBoundary", "authorize_action", kAuthorizeParams, 3,
                                         3};

PyMethodDef methods[] = {
    method_def<authorize_action, kAuthorize>(
        "authorize_action($self, target_axis, requested_position, commanded_velocity)\n--\n\n"
        "Authorize a single actuator command and return a signed receipt."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ClassDecl MorvBoundary::declaration{
    .name = "MorvBoundary",
    .doc = "Deterministic edge governor that authorizes physical actions.",
    .text_signature =
        "(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, hmac_key=None)",
    .base = nullptr,
    .basicsize = sizeof(Instance<MorvBoundary>),
    .constructor = &constructor<boundary_new, kNew>,
    .methods = methods,
    .properties = nullptr,
    .special_slots = nullptr,
    .dealloc = &default_dealloc<MorvBoundary>,
};

ClassDecl& morv_boundary_class() { return MorvBoundary::declaration; }

}  // namespace morvex::ext
