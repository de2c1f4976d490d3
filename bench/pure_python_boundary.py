"""The same boundary written in pure Python: the anchor a user would otherwise write.

Velocity check, one-second rate window, sequence counter, os.urandom nonce, an
HMAC-SHA-256 receipt issued and then checked against a 1024-entry nonce ring with
hmac.compare_digest, as the native boundary does.
"""

import collections
import hmac
import os
import struct
import time

NONCE_WINDOW = 1024


class PyViolation(Exception):
    pass


class PyBoundary:
    def __init__(self, rate_limit=1000, max_velocity_rad_s=4.18, hmac_key=bytes(32)):
        self.rate_limit = rate_limit
        self.max_velocity = max_velocity_rad_s
        self.key = hmac_key
        self.sequence = 0
        self.window_start = time.time_ns()
        self.window_count = 0
        self.ring = [bytes(12)] * NONCE_WINDOW
        self.next_slot = 0
        self.stored = 0
        self.last_sequence = 0

    def _tag(self, nonce, timestamp, sequence, action_id, payload):
        message = (nonce + struct.pack("<QQQ", timestamp, sequence, len(action_id)) + action_id
                   + struct.pack("<Q", len(payload)) + payload)
        return hmac.digest(self.key, message, "sha256")

    def _intercept(self, nonce, timestamp, sequence, action_id, payload, tag):
        if sequence <= self.last_sequence:
            raise PyViolation("replay_counter")
        for i in range(1, self.stored + 1):
            if hmac.compare_digest(self.ring[(self.next_slot - i) % NONCE_WINDOW], nonce):
                raise PyViolation("replay_nonce")
        if not hmac.compare_digest(self._tag(nonce, timestamp, sequence, action_id, payload), tag):
            raise PyViolation("authentication_failure")
        self.last_sequence = sequence
        self.ring[self.next_slot] = nonce
        self.next_slot = (self.next_slot + 1) % NONCE_WINDOW
        self.stored = min(self.stored + 1, NONCE_WINDOW)

    def authorize_action(self, axis, position, velocity):
        if not abs(velocity) <= self.max_velocity:
            raise PyViolation("velocity_exceeded")
        now = time.time_ns()
        if now - self.window_start < 1_000_000_000:
            self.window_count += 1
            if self.window_count > self.rate_limit:
                raise PyViolation("rate_limited")
        else:
            self.window_start, self.window_count = now, 1
        self.sequence += 1
        nonce = os.urandom(12)
        action_id = b"axis_%d" % axis
        payload = struct.pack("<dd", position, velocity)
        tag = self._tag(nonce, now, self.sequence, action_id, payload)
        self._intercept(nonce, now, self.sequence, action_id, payload, tag)
        return nonce + struct.pack("<QQ", now, self.sequence) + tag


class PyReceiptGate:
    """The actuator side's receipt check: tag first, then sequence and a set of the last
    1024 nonces (with a deque for their order)."""

    def __init__(self, hmac_key):
        self.key = hmac_key
        self.last_sequence = 0
        self.nonces = set()
        self.order = collections.deque()

    def check(self, receipt_hash, axis, position, velocity):
        if len(receipt_hash) != 60:
            raise PyViolation("invalid_receipt")
        nonce, head, tag = receipt_hash[:12], receipt_hash[:28], receipt_hash[28:]
        sequence = struct.unpack_from("<Q", receipt_hash, 20)[0]
        action_id = b"axis_%d" % axis
        message = (head + struct.pack("<Q", len(action_id)) + action_id + struct.pack("<Q", 16)
                   + struct.pack("<dd", position, velocity))
        if not hmac.compare_digest(hmac.digest(self.key, message, "sha256"), tag):
            raise PyViolation("authentication_failure")
        if sequence <= self.last_sequence:
            raise PyViolation("replay_counter")
        if nonce in self.nonces:
            raise PyViolation("replay_nonce")
        self.last_sequence = sequence
        self.nonces.add(nonce)
        self.order.append(nonce)
        if len(self.order) > NONCE_WINDOW:
            self.nonces.discard(self.order.popleft())
        return sequence
