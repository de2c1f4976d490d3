"""The wire frames written again in plain Python from their documented layout (struct, a
table CRC-32C, the mask and COBS): the independent oracle of tests/test_wire.py, and the pure-Python
candidate that bench/bench_wire.py times against the extension's codec."""

import struct
from collections import namedtuple

Command = namedtuple("Command", "axis requested_position commanded_velocity receipt_hash")
Verdict = namedtuple("Verdict", "sequence_id axis violation_type")
Session = namedtuple("Session", "session_id")

CODES = {0: "", 1: "invalid_pointer", 4: "invalid_receipt", 5: "invalid_key_length",
         6: "authentication_failure", 7: "replay_counter", 8: "replay_nonce",
         10: "stale_receipt"}
NUMBERS = {text: number for number, text in CODES.items()}
LAYOUT = {1: struct.Struct("<BBidd60s"), 2: struct.Struct("<BBQiB"), 3: struct.Struct("<BB16s")}


def _crc_table():
    table = []
    for n in range(256):
        for _ in range(8):
            n = (n >> 1) ^ (0x82F63B78 if n & 1 else 0)
        table.append(n)
    return table


_TABLE = _crc_table()


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ _TABLE[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def cobs(plain):
    """COBS of a frame shorter than 254 bytes, with the zero delimiter."""
    return b"".join(bytes((len(run) + 1,)) + run for run in plain.split(b"\0")) + b"\0"


def uncobs(encoded):
    """The plain bytes of one encoded frame (no delimiter), or None if malformed."""
    runs, at = [], 0
    while at < len(encoded):
        code = encoded[at]
        if code == 0 or at + code > len(encoded) or 0 in encoded[at + 1:at + code]:
            return None
        runs.append(encoded[at + 1:at + code])
        at += code
    return b"\0".join(runs) if runs and code < 0xFF else None


def mask(data):
    return (int.from_bytes(data, "little") ^ int.from_bytes(b"\xa5" * len(data), "little")
            ).to_bytes(len(data), "little")


def seal(plain):
    return cobs(mask(plain + struct.pack("<I", crc32c(plain))))


def encode_command(axis, requested_position, commanded_velocity, receipt_hash):
    return seal(LAYOUT[1].pack(1, 1, axis, requested_position, commanded_velocity, receipt_hash))


def encode_verdict(sequence_id, axis, violation_type):
    return seal(LAYOUT[2].pack(2, 1, sequence_id, axis, NUMBERS[violation_type]))


def encode_session(session_id):
    return seal(LAYOUT[3].pack(3, 1, session_id))


def decode(encoded):
    """The frame of one encoded frame (no delimiter), or None where a decoder drops it."""
    plain = uncobs(encoded)
    plain = plain if plain is None else mask(plain)
    if plain is None or len(plain) < 6 or plain[1] != 1 or plain[0] not in LAYOUT:
        return None
    if len(plain) != LAYOUT[plain[0]].size + 4 or crc32c(plain[:-4]) != struct.unpack(
            "<I", plain[-4:])[0]:
        return None
    kind, _, *fields = LAYOUT[plain[0]].unpack(plain[:-4])
    if kind == 1:
        return Command(*fields)
    if kind == 2:
        return Verdict(fields[0], fields[1], CODES[fields[2]]) if fields[2] in CODES else None
    return Session(*fields)


class Decoder:
    """The stream decoder: frames end at a zero byte; more than 87 bytes without one are
    dropped (once) up to the next zero."""

    def __init__(self):
        self.pending, self.corrupt, self.skipping = b"", 0, False

    def feed(self, data):
        frames = (self.pending + bytes(data)).split(b"\0")
        self.pending = frames.pop()
        out = []
        for encoded in frames:
            frame = None if self.skipping or len(encoded) > 87 else decode(encoded)
            if frame is None and not self.skipping:
                self.corrupt += 1
            self.skipping = False
            if frame is not None:
                out.append(frame)
        if len(self.pending) > 87:
            self.corrupt += 0 if self.skipping else 1
            self.skipping, self.pending = True, b""
        return out
