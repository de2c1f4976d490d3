// Session keys: one HMAC-SHA-256 under the long-term key per session id.
#include <utility>

#include "message_hasher_access.h"
#include "morvex/security/crypto.h"

namespace morvex::security {

Key session_key(const Key& key, const SessionId& session_id) noexcept {
    MessageHasher hasher = detail::MessageHasherAccess::keyed(key);
    hasher.update(action_id_bytes(SESSION_KEY_LABEL));
    hasher.update(session_id);
    return std::move(hasher).finalize();
}

}  // namespace morvex::security
