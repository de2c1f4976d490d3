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

#include "binding/declare.h"
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

// The part of a velocity refusal's message that depends only on the limit.
std::string velocity_refusal_tail(double limit) {
    char number[kMaxFormattedDouble];
    return " rad/s exceeds max_velocity_rad_s " + std::string(format_double(limit, number)) +
           " rad/s";
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
        : rate_limit(rate), max_velocity_rad_s(max_velocity),
          refusal_tail(velocity_refusal_tail(max_velocity)), interceptor(key),
          window{now_nanos()} {}

    const std::uint64_t rate_limit;
    const double max_velocity_rad_s;
    const std::string refusal_tail;  // formatted once: refusals are on the hot path too
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

Result<Ref> boundary_new(PyTypeObject* type, std::uint64_t rate_limit, double max_velocity_rad_s,
                         std::uint64_t monotonic_window_size, OrNone<BytesArg> hmac_key) {
    (void)monotonic_window_size;  // validated only: the replay window is fixed at 1024
    std::optional<sec::Key> key = trial_key();
    if (hmac_key.value) {
        key = boundary_key(*hmac_key.value);
        if (!key) {
            return PendingError::with_message(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
        }
    }
    return new_instance<MorvBoundary>(type, rate_limit, max_velocity_rad_s, *key);
}

PendingError velocity_refusal(std::int32_t axis, double velocity, std::string_view tail) {
    char number[kMaxFormattedDouble];
    return violation(axis, "velocity_exceeded",
                     joined_text({"commanded_velocity ", format_double(velocity, number), tail}));
}

Result<Ref> authorize_action(MorvBoundary& self, std::int32_t target_axis,
                             double requested_position, double commanded_velocity) {
    // Fails closed: a NaN on either side is refused.
    if (!(std::fabs(commanded_velocity) <= self.max_velocity_rad_s)) {
        return velocity_refusal(target_axis, commanded_velocity, self.refusal_tail);
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

}  // namespace

ClassDecl MorvBoundary::declaration = declare_class<MorvBoundary>({
    .name = "MorvBoundary",
    .doc = "Deterministic edge governor that authorizes physical actions.",
    .constructor = constructor<boundary_new>(arg("rate_limit", 1000),
                                             arg("max_velocity_rad_s", 4.18),
                                             arg("monotonic_window_size", 64),
                                             arg("hmac_key", none)),
    .methods = {method<authorize_action>(
        "authorize_action", "Authorize a single actuator command and return a signed receipt.",
        arg("target_axis"), arg("requested_position"), arg("commanded_velocity"))},
});

ClassDecl& morv_boundary_class() { return MorvBoundary::declaration; }

}  // namespace morvex::ext
