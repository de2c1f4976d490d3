"""morvex.wire against an independent codec written from the documented layout
(tests/wire_reference.py) and against the C library itself (libmorvex_security through
ctypes): byte-identical frames, every field bit-exact, damage always counted and never
delivered, any chunking, resynchronisation, and the bad-input table."""

import ctypes
import os
import random
import struct
from pathlib import Path

import pytest
import wire_reference as ref
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from morvex import wire

RESULTS = sorted(ref.NUMBERS)
CHECKED = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

doubles = st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0])
axes = st.integers(-(2**31), 2**31 - 1)
frames = st.one_of(
    st.builds(wire.Command, axes, doubles, doubles, st.binary(min_size=60, max_size=60)),
    st.builds(wire.Verdict, st.integers(0, 2**64 - 1), axes, st.sampled_from(RESULTS)),
    st.builds(wire.Session, st.binary(min_size=16, max_size=16)),
)


def encoders(module):
    return {wire.Command: module.encode_command, wire.Verdict: module.encode_verdict,
            wire.Session: module.encode_session,
            ref.Command: module.encode_command, ref.Verdict: module.encode_verdict,
            ref.Session: module.encode_session}


def bits(frame):
    """A frame as the reference encodes it: equal bits, equal bytes (NaN payloads too)."""
    return encoders(ref)[type(frame)](*frame)


def decoded(data, cuts=()):
    decoder, out, at = wire.Decoder(), [], 0
    for cut in sorted(cuts) + [len(data)]:
        out += decoder.feed(data[at:cut])
        at = max(at, cut)
    return [bits(f) for f in out], decoder


@CHECKED
@given(st.lists(frames, max_size=12), st.lists(st.integers(0, 1100), max_size=12))
def test_frames_agree_with_the_reference_and_survive_any_chunking(sent, cuts):
    ours = [encoders(wire)[type(f)](*f) for f in sent]
    assert ours == [bits(f) for f in sent]
    stream = b"".join(ours)
    got, decoder = decoded(stream, cuts)
    assert got == ours and decoder.corrupt == 0
    assert [bits(f) for f in ref.Decoder().feed(stream)] == ours
    assert all(type(f) is type(g) for f, g in zip(decoder.feed(stream), sent))


# One bit flipped, one byte dropped or one byte added anywhere in a stream: at least one
# frame is counted as corrupt (the sentinel frame after the stream brings in a frame whose
# delimiter was lost), and what is delivered is the frames as sent, in order, some missing.
@CHECKED
@given(st.lists(frames, min_size=1, max_size=6), st.data())
def test_any_damage_is_counted_and_nothing_wrong_is_delivered(sent, data):
    stream = bytearray(b"".join(bits(f) for f in sent))
    at = data.draw(st.integers(0, len(stream) - 1))
    damage = data.draw(st.sampled_from(["flip", "drop", "insert"]))
    if damage == "flip":
        stream[at] ^= 1 << data.draw(st.integers(0, 7))
    elif damage == "drop":
        del stream[at]
    else:
        stream.insert(at, data.draw(st.integers(0, 255)))
    sentinel = wire.encode_session(b"sentinel" * 2)
    got, decoder = decoded(bytes(stream) + sentinel, data.draw(st.lists(st.integers(0, 600))))
    assert decoder.corrupt >= 1
    expected = iter([bits(f) for f in sent] + [sentinel])
    assert all(frame in expected for frame in got)  # an ordered subsequence
    reference = ref.Decoder()
    assert [bits(f) for f in reference.feed(bytes(stream) + sentinel)] == got
    assert reference.corrupt == decoder.corrupt


# Garbage of any length (over-long runs included) before a delimiter costs nothing after it.
@CHECKED
@given(st.binary(max_size=400), st.lists(frames, max_size=4), st.lists(st.integers(0, 800)))
def test_resynchronises_after_garbage(garbage, sent, cuts):
    expected = [bits(f) for f in sent]
    stream = garbage + b"\0" + b"".join(expected)
    got, decoder = decoded(stream, cuts)
    assert got == expected and decoder.corrupt >= 1
    reference = ref.Decoder()
    reference.feed(stream)
    assert reference.corrupt == decoder.corrupt


def test_unknown_type_or_version_is_counted_as_unsupported():
    sealed = ref.seal
    later = sealed(b"\x03\x02" + bytes(16))  # a session frame of version 2
    unknown = sealed(b"\x09\x01" + bytes(30))
    short = sealed(b"\x03\x01" + bytes(15))  # intact, but not a session frame's length
    verdict = sealed(struct.pack("<BBQiB", 2, 1, 1, 1, 9))  # a result the gate never gives
    decoder = wire.Decoder()
    assert decoder.feed(later + unknown + short + verdict + bits(wire.Session(bytes(16)))) == [
        wire.Session(bytes(16))]
    assert (decoder.corrupt, decoder.unsupported) == (4, 2)


# ---- the C library through ctypes --------------------------------------------------


class CCommand(ctypes.Structure):
    _fields_ = [("axis", ctypes.c_int32), ("requested_position", ctypes.c_double),
                ("commanded_velocity", ctypes.c_double), ("receipt", ctypes.c_uint8 * 60)]


class CVerdict(ctypes.Structure):
    _fields_ = [("sequence_id", ctypes.c_uint64), ("axis", ctypes.c_int32),
                ("result", ctypes.c_uint32)]


class CFrame(ctypes.Structure):
    class Body(ctypes.Union):
        _fields_ = [("command", CCommand), ("verdict", CVerdict), ("session", ctypes.c_uint8 * 16)]

    _fields_ = [("type", ctypes.c_uint32), ("body", Body)]


class CDecoder(ctypes.Structure):
    _fields_ = [("corrupt", ctypes.c_uint64), ("unsupported", ctypes.c_uint64),
                ("pending", ctypes.c_uint8 * 87), ("fill", ctypes.c_uint8),
                ("skipping", ctypes.c_uint8)]


def security_library():
    path = os.environ.get("MORVEX_SECURITY_LIB")
    if not path and os.environ.get("MORVEX_CORE_LIB"):
        core = Path(os.environ["MORVEX_CORE_LIB"])
        path = str(core.parents[1] / "morvex-security" / "libmorvex_security.so")
    if not path or not Path(path).is_file():
        pytest.skip("MORVEX_SECURITY_LIB (or MORVEX_CORE_LIB beside it) names no library")
    lib = ctypes.CDLL(path)
    for name in ("encode_command", "encode_verdict", "encode_session", "decoder_feed"):
        getattr(lib, f"morvex_wire_{name}").restype = ctypes.c_size_t
    return lib


def c_encode(lib, frame):
    out = ctypes.create_string_buffer(88)
    if isinstance(frame, wire.Command):
        c = CCommand(frame.axis, frame.requested_position, frame.commanded_velocity,
                     (ctypes.c_uint8 * 60)(*frame.receipt_hash))
        n = lib.morvex_wire_encode_command(ctypes.byref(c), out, ctypes.c_size_t(88))
    elif isinstance(frame, wire.Verdict):
        c = CVerdict(frame.sequence_id, frame.axis, ref.NUMBERS[frame.violation_type])
        n = lib.morvex_wire_encode_verdict(ctypes.byref(c), out, ctypes.c_size_t(88))
    else:
        c = (ctypes.c_uint8 * 16)(*frame.session_id)
        n = lib.morvex_wire_encode_session(ctypes.byref(c), out, ctypes.c_size_t(88))
    return out.raw[:n]


def c_decode(lib, data, rng):
    decoder, frame, out, at = CDecoder(), CFrame(), [], 0
    lib.morvex_wire_decoder_init(ctypes.byref(decoder))
    while at < len(data):
        piece = data[at:at + rng.randrange(1, 200)]
        at += lib.morvex_wire_decoder_feed(ctypes.byref(decoder), piece, ctypes.c_size_t(len(piece)),
                                           ctypes.byref(frame))
        c = frame.body
        if frame.type == 1:
            out.append(ref.encode_command(c.command.axis, c.command.requested_position,
                                          c.command.commanded_velocity, bytes(c.command.receipt)))
        elif frame.type == 2:
            out.append(ref.encode_verdict(c.verdict.sequence_id, c.verdict.axis,
                                          ref.CODES[c.verdict.result]))
        elif frame.type == 3:
            out.append(ref.encode_session(bytes(c.session)))
    return out, decoder.corrupt


@pytest.mark.parametrize("seed", range(3))
def test_c_library_and_python_agree_on_a_seeded_corpus(seed):
    lib = security_library()
    rng = random.Random(seed)
    sent = []
    for _ in range(300):
        kind = rng.randrange(3)
        x, y = (struct.unpack("<d", rng.randbytes(8))[0] for _ in range(2))
        if kind == 0:
            sent.append(wire.Command(rng.randrange(-(2**31), 2**31), x, y, rng.randbytes(60)))
        elif kind == 1:
            sent.append(wire.Verdict(rng.randrange(2**64), rng.randrange(-9, 9), rng.choice(RESULTS)))
        else:
            sent.append(wire.Session(rng.randbytes(16)))
    ours = [c_encode(lib, f) for f in sent]
    assert ours == [encoders(wire)[type(f)](*f) for f in sent] == [bits(f) for f in sent]
    stream = bytearray(b"".join(ours))
    assert c_decode(lib, bytes(stream), rng) == (ours, 0)
    for _ in range(40):  # damage: the C library and the extension count and deliver alike
        stream[rng.randrange(len(stream))] = rng.randrange(256)
    got, decoder = decoded(bytes(stream))
    assert c_decode(lib, bytes(stream), rng) == (got, decoder.corrupt)


# ---- bad input --------------------------------------------------------------------------

RECEIPT = bytes(60)


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda: wire.encode_command(2**31, 0.0, 0.0, RECEIPT), ValueError,
     "axis must be a signed 32-bit integer"),
    (lambda: wire.encode_command(-(2**31) - 1, 0.0, 0.0, RECEIPT), ValueError, None),
    (lambda: wire.encode_command(1, 0.0, 0.0, RECEIPT[:59]), ValueError,
     "receipt_hash must be exactly 60 bytes"),
    (lambda: wire.encode_command(1, 0.0, 0.0, RECEIPT + b"x"), ValueError, None),
    (lambda: wire.encode_command(1.0, 0.0, 0.0, RECEIPT), TypeError, None),
    (lambda: wire.encode_command(1, "0", 0.0, RECEIPT), TypeError, None),
    (lambda: wire.encode_command(1, 0.0, None, RECEIPT), TypeError, None),
    (lambda: wire.encode_command(1, 0.0, 0.0, "x" * 60), TypeError, None),
    (lambda: wire.encode_command(1, 0.0, 0.0), TypeError, None),
    (lambda: wire.encode_verdict(-1, 1, ""), ValueError,
     "sequence_id must be an unsigned 64-bit integer"),
    (lambda: wire.encode_verdict(2**64, 1, ""), ValueError, None),
    (lambda: wire.encode_verdict(1, 1, "accepted"), ValueError, None),
    (lambda: wire.encode_verdict(1, 1, "rate_limited"), ValueError, None),
    (lambda: wire.encode_verdict(1, 1, b"replay_nonce"), TypeError, None),
    (lambda: wire.encode_session(bytes(15)), ValueError, "session_id must be exactly 16 bytes"),
    (lambda: wire.encode_session(None), TypeError, None),
    (lambda: wire.Decoder().feed("\0"), TypeError, None),
    (lambda: wire.Decoder().feed(5), TypeError, None),
    (lambda: wire.Decoder(1), TypeError, None),
])
def test_bad_input_raises_a_clear_error(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type and (message is None or str(info.value) == message)


def test_feed_takes_any_bytes_like_object_and_keeps_its_state_on_bad_input():
    frame = bits(wire.Session(bytes(range(16))))
    decoder = wire.Decoder()
    assert decoder.feed(bytearray(frame[:10])) == []
    with pytest.raises(TypeError):
        decoder.feed(["not", "bytes"])
    assert decoder.feed(memoryview(frame)[10:]) == [wire.Session(bytes(range(16)))]
    assert decoder.feed(b"") == [] and decoder.corrupt == 0


@pytest.mark.parametrize("url", [None, "loop://"])
def test_the_readme_example_runs(url):
    import subprocess
    import sys

    if url:
        pytest.importorskip("serial")
    example = Path(__file__).resolve().parents[1] / "examples" / "wire_link.py"
    out = subprocess.run([sys.executable, str(example)] + (["--url", url] if url else []),
                         check=True, capture_output=True, text=True, timeout=60).stdout
    assert out.splitlines() == ["sequence 1 axis 2: accepted", "sequence 1 axis 2: replay_counter",
                                "sequence 2 axis 0: accepted", "sequence 3 axis 1: accepted",
                                "frames dropped as corrupt on the actuator side: 1"]


def test_no_memory_grows_with_frames_and_refusals():
    from helpers import growth

    stream = b"".join(bits(f) for f in (wire.Command(3, 0.5, -1.0, bytes(60)),
                                        wire.Verdict(1, 2, "replay_nonce"),
                                        wire.Session(bytes(16)))) + b"noise\0"
    decoder = wire.Decoder()
    bad_calls = (lambda: wire.encode_command(1, 2.0, 3.0, bytes(59)),
                 lambda: wire.encode_verdict(1, 1, "x"), lambda: decoder.feed("s"),
                 lambda: wire.encode_command(2**40, 0.0, 0.0, RECEIPT))

    def run():
        for _ in range(200):
            decoder.feed(stream)
            decoder.feed(bytearray(stream))
            wire.encode_command(1, 2.0, 3.0, bytearray(60))
            for call in bad_calls:
                with pytest.raises((TypeError, ValueError)):
                    call()

    assert growth(run, times=3) < 50  # a leak per frame or call would be thousands
