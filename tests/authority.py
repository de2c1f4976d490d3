"""Independent recomputation of receipt tags with Python's hmac (the test oracle)."""

import hmac
import struct

# The built-in trial key: the receipt tag, under 32 zero bytes, of an all-zero
# receipt for the action id below with an all-zero payload.
DEFAULT_KEY_ACTION_ID = b"morvex default key: trials only"


def signed_message(nonce, timestamp_nanos, sequence_id, action_id, payload):
    return (
        nonce
        + struct.pack("<QQQ", timestamp_nanos, sequence_id, len(action_id))
        + action_id
        + struct.pack("<Q", len(payload))
        + payload
    )


def tag(key, nonce, timestamp_nanos, sequence_id, action_id, payload):
    return hmac.digest(key, signed_message(nonce, timestamp_nanos, sequence_id, action_id, payload),
                       "sha256")


DEFAULT_KEY = tag(bytes(32), bytes(12), 0, 0, DEFAULT_KEY_ACTION_ID, bytes(16))


def expected_receipt_tag(key, receipt, axis, position, velocity):
    """The tag a receipt must carry, from its serialized fields and the command."""
    raw = receipt.receipt_hash
    nonce = raw[:12]
    timestamp_nanos, sequence_id = struct.unpack("<QQ", raw[12:28])
    return tag(key, nonce, timestamp_nanos, sequence_id, b"axis_%d" % axis,
               struct.pack("<dd", position, velocity))
