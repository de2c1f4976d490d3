"""Session keys: what makes a reset of the checking side safe.

A receipt gate that starts again from sequence id 0 would accept every receipt issued
before its reset. So the checking side (an actuator's microcontroller, or a hosted
``ReceiptGate``) draws a random 16-byte session id at every start and announces it; both
sides then sign and check under the session key derived here from the long-term key and
that id, and the controller starts a new ``MorvBoundary`` (sequence ids from 1) for each
session it is told of. Receipts of an earlier session fail authentication.

The derivation, the same as ``morvex_session_key`` of ``morvex/receipt_gate.h``:
HMAC-SHA-256 keyed with the 32-byte long-term key over the 21 ASCII bytes
``morvex session key v1`` followed by the 16 bytes of the session id.
"""

import hmac

SESSION_ID_LEN = 16
SESSION_KEY_LABEL = b"morvex session key v1"


def session_key(key: bytes | bytearray | memoryview,
                session_id: bytes | bytearray | memoryview) -> bytes:
    """The 32-byte key of the session ``session_id`` (16 bytes) under ``key`` (32 bytes)."""
    for name, value, size in (("key", key, 32), ("session_id", session_id, SESSION_ID_LEN)):
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"{name} must be a bytes-like object, not {type(value).__name__}")
        if memoryview(value).nbytes != size:
            raise ValueError(f"{name} must be exactly {size} bytes")
    return hmac.digest(bytes(key), SESSION_KEY_LABEL + bytes(session_id), "sha256")
