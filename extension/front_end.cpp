#include "front_end.h"

#include <cstring>
#include <ctime>

namespace morvex::ext {

namespace sec = morvex::security;

std::uint64_t now_nanos() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

const sec::Key& trial_key() {
    static const sec::Key key = [] {
        const sec::Key zero{};
        const auto derived = sec::authorize(zero, sec::Nonce{}, 0, 0,
                                            sec::action_id_bytes("morvex default key: trials only"),
                                            sec::Payload{});
        return derived.value().tag;
    }();
    return key;
}

KeyCopy boundary_key(BytesArg bytes) {
    if (bytes.size != sec::KEY_LEN) return KeyCopy();
    return KeyCopy(bytes.data);
}

KeyCopy chosen_key(const OrNone<BytesArg>& hmac_key) {
    if (hmac_key.value) return boundary_key(*hmac_key.value);
    return KeyCopy(trial_key());
}

}  // namespace morvex::ext
