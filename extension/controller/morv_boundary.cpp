// MorvBoundary: authorizes actuator commands against a velocity limit and a rate
// limit and answers with signed, replay-protected receipts.
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>

#include "binding/declare.h"
#include "classes.h"
#include "morvex/security/boundary.h"
#include "morvex/security/command.h"
#include "number_format.h"
#include "rate_window.h"

#if defined(__GLIBC__)
extern "C" int __xpg_strerror_r(int error_number, char* buffer, std::size_t size) noexcept;
#endif

namespace morvex::ext {
namespace {

namespace sec = morvex::security;

// The system's text for an error number, or nullptr when it has none: the XSI
// strerror_r, which tells an unknown number apart (the GNU one, which C++
// gets by default, writes "Unknown error N" instead).
const char* system_error_text(int error_number, char (&buffer)[256]) {
#if defined(__GLIBC__)
    return __xpg_strerror_r(error_number, buffer, sizeof buffer) == 0 ? buffer : nullptr;
#else
    return strerror_r(error_number, buffer, sizeof buffer) == 0 ? buffer : nullptr;
#endif
}

// "failed to generate nonce: " and the system's description of the failure.
PendingError nonce_failure(int error_number) {
    PyObject* text = nullptr;
    char buffer[256];
    const char* description = error_number > 0 ? system_error_text(error_number, buffer) : nullptr;
    if (error_number <= 0) {
        text = PyUnicode_FromString(
            "failed to generate nonce: errno: did not return a positive value");
    } else if (description != nullptr) {
        text = PyUnicode_FromFormat("failed to generate nonce: %s", description);
    } else {
        text = PyUnicode_FromFormat("failed to generate nonce: OS Error: %d", error_number);
    }
    return PendingError::with_text(PyExc_RuntimeError, text);
}

// The part of a velocity refusal's message that depends only on the limit,
// formatted once: refusals are on the hot path too.
class RefusalTail {
public:
    explicit RefusalTail(double limit) {
        char number[kMaxFormattedDouble];
        const std::string_view pieces[] = {" rad/s exceeds max_velocity_rad_s ",
                                           format_double(limit, number), " rad/s"};
        for (std::string_view piece : pieces) {
            std::memcpy(text_ + size_, piece.data(), piece.size());
            size_ += piece.size();
        }
    }
    std::string_view view() const { return {text_, size_}; }

private:
    char text_[kMaxFormattedDouble + 48];
    std::size_t size_ = 0;
};

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
          refusal_tail(max_velocity), interceptor(key),
          window{now_nanos()} {}

    const std::uint64_t rate_limit;
    const double max_velocity_rad_s;
    const RefusalTail refusal_tail;
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
    const KeyCopy key = chosen_key(hmac_key);
    if (!key) {
        return PendingError::with_message(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
    }
    return new_instance<MorvBoundary>(type, rate_limit, max_velocity_rad_s, *key);
}

PendingError velocity_refusal(std::int32_t axis, double velocity, std::string_view tail) {
    char number[kMaxFormattedDouble];
    MORVEX_TRY(message, joined_text({"commanded_velocity ", format_double(velocity, number), tail}));
    return violation(axis, "velocity_exceeded", std::move(message));
}

Result<Ref> authorize_action(MorvBoundary& self, std::int32_t target_axis,
                             double requested_position, double commanded_velocity) {
    // Fails closed: a NaN on either side is refused.
    if (!(std::fabs(commanded_velocity) <= self.max_velocity_rad_s)) {
        return velocity_refusal(target_axis, commanded_velocity, self.refusal_tail.view());
    }
    // Allocated before anything is counted: once admitted, nothing can fail.
    MORVEX_TRY(receipt, reserve_receipt());
    const sec::AxisActionId id = sec::axis_action_id(target_axis);
    const Admission admission =
        self.admit(id, sec::command_payload(requested_position, commanded_velocity));
    switch (admission.outcome) {
        case Admission::RateLimited:
            return violation(target_axis, "rate_limited", "action rate limit exceeded");
        case Admission::NonceFailed:
            return nonce_failure(admission.error_number);
        case Admission::Refused:
            return morv_error_to_py_err(target_axis, admission.error);
        case Admission::Admitted:
            break;
    }
    fill_receipt(receipt.get(), id, requested_position, commanded_velocity, admission.receipt);
    return std::move(receipt);
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
