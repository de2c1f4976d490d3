// The wire decoder (morvex/wire.h) on a byte stream built from the input: raw
// bytes, and command, verdict and session frames encoded from fields of the
// input, each possibly damaged (a byte changed, dropped or added) or cut
// short. The stream is fed to one decoder in pieces whose sizes the input
// chooses, and to another in one call. Checked:
//
//   - every delivered frame re-encodes to exactly the bytes it was read from
//     (from the byte after the previous zero up to its delimiter);
//   - an undamaged frame that follows a delimiter is delivered as it was sent;
//   - the corrupt count never decreases, and unsupported <= corrupt;
//   - both decoders deliver the same frames and end with the same counts;
//   - decode + check (morvex_wire_receive) delivers the same frames, and the
//     gate sees exactly the command frames (its last sequence id is that of
//     the last accepted one).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "byte_reader.h"
#include "morvex/wire.h"

namespace {

using morvex::fuzz::ByteReader;
using Bytes = std::vector<std::uint8_t>;

Bytes encode(const morvex_wire_frame& f) {
    Bytes out(MORVEX_WIRE_MAX_ENCODED);
    std::size_t n = 0;
    if (f.type == MORVEX_WIRE_COMMAND) {
        n = morvex_wire_encode_command(&f.as.command, out.data(), out.size());
    } else if (f.type == MORVEX_WIRE_VERDICT) {
        n = morvex_wire_encode_verdict(&f.as.verdict, out.data(), out.size());
    } else if (f.type == MORVEX_WIRE_SESSION) {
        n = morvex_wire_encode_session(&f.as.session, out.data(), out.size());
    }
    out.resize(n);
    return out;
}

struct Sent {
    std::size_t end;  // one past the delimiter in the stream
    Bytes bytes;
};

// The stream and the frames in it that must come out as sent.
void build(ByteReader& in, Bytes& stream, std::vector<Sent>& intact) {
    const std::uint32_t results[] = {0, 1, 4, 5, 6, 7, 8, 10};
    while (!in.empty()) {
        const std::uint8_t op = in.u8();
        if (op % 4 == 0) {
            const std::size_t n = in.u8() % 200;
            for (std::size_t i = 0; i < n; ++i) stream.push_back(in.u8());
            continue;
        }
        morvex_wire_frame f;
        std::memset(&f, 0, sizeof f);
        f.type = op % 4;
        if (f.type == MORVEX_WIRE_COMMAND) {
            f.as.command.axis = static_cast<std::int32_t>(in.u32());
            const std::uint64_t a = in.u64(), b = in.u64();
            std::memcpy(&f.as.command.requested_position, &a, 8);
            std::memcpy(&f.as.command.commanded_velocity, &b, 8);
            in.bytes(f.as.command.receipt, in.u8() % 61);  // the rest stays zero
        } else if (f.type == MORVEX_WIRE_VERDICT) {
            f.as.verdict = {in.u64(), static_cast<std::int32_t>(in.u32()), results[in.u8() % 8]};
        } else {
            in.bytes(f.as.session.session_id, MORVEX_WIRE_SESSION_ID_LEN);
        }
        Bytes bytes = encode(f);
        FUZZ_CHECK(!bytes.empty());
        const bool after_delimiter = stream.empty() || stream.back() == 0;
        switch (op >> 5) {
            case 1:
                bytes[in.u8() % bytes.size()] ^= static_cast<std::uint8_t>(in.u8() | 1);
                break;
            case 2:
                bytes.erase(bytes.begin() + in.u8() % bytes.size());
                break;
            case 3:
                bytes.insert(bytes.begin() + in.u8() % bytes.size(), in.u8());
                break;
            case 4:
                bytes.resize(in.u8() % bytes.size());
                break;
            default:
                if (after_delimiter) intact.push_back({stream.size() + bytes.size(), bytes});
        }
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const std::uint8_t piece_seed = in.u8();
    Bytes stream;
    std::vector<Sent> intact;
    build(in, stream, intact);

    morvex_wire_decoder pieces, whole;
    morvex_wire_decoder_init(&pieces);
    morvex_wire_decoder_init(&whole);
    std::vector<Bytes> got_pieces, got_whole;
    std::size_t at = 0, next_intact = 0, step = 0;
    std::uint64_t corrupt = 0;
    while (at < stream.size()) {
        std::size_t piece =
            std::min<std::size_t>(stream.size() - at, 1u + (piece_seed + 37 * step++) % 97);
        while (piece > 0) {
            morvex_wire_frame frame;
            const std::size_t used =
                morvex_wire_decoder_feed(&pieces, stream.data() + at, piece, &frame);
            FUZZ_CHECK(used > 0 && used <= piece);
            at += used;
            piece -= used;
            FUZZ_CHECK(pieces.corrupt >= corrupt && pieces.unsupported <= pieces.corrupt);
            corrupt = pieces.corrupt;
            if (frame.type == MORVEX_WIRE_NONE) {
                FUZZ_CHECK(piece == 0);
                continue;
            }
            FUZZ_CHECK(stream[at - 1] == 0);
            std::size_t start = at - 1;
            while (start > 0 && stream[start - 1] != 0) --start;
            const Bytes bytes = encode(frame);
            FUZZ_CHECK(bytes == Bytes(stream.begin() + static_cast<std::ptrdiff_t>(start),
                                      stream.begin() + static_cast<std::ptrdiff_t>(at)));
            // An intact frame that followed a delimiter is never skipped.
            FUZZ_CHECK(next_intact == intact.size() || intact[next_intact].end >= at);
            if (next_intact < intact.size() && intact[next_intact].end == at) ++next_intact;
            got_pieces.push_back(bytes);
        }
    }
    FUZZ_CHECK(next_intact == intact.size());

    // The whole stream in one call per frame, through decode + check.
    auto gate = std::make_unique<morvex_receipt_gate>();
    const std::uint8_t key[MORVEX_GATE_KEY_LEN] = {1};
    FUZZ_CHECK(morvex_receipt_gate_init(gate.get(), key, sizeof key, 0, 0) == 0);
    at = 0;
    while (at < stream.size()) {
        morvex_wire_frame frame;
        morvex_wire_verdict verdict{};
        at += morvex_wire_receive(&whole, gate.get(), 0, stream.data() + at, stream.size() - at,
                                  &frame, &verdict);
        if (frame.type == MORVEX_WIRE_NONE) continue;
        if (frame.type == MORVEX_WIRE_COMMAND) {
            FUZZ_CHECK(verdict.axis == frame.as.command.axis);
            FUZZ_CHECK(verdict.result == MORVEX_GATE_AUTHENTICATION_FAILURE);  // never our key
        }
        got_whole.push_back(encode(frame));
    }
    FUZZ_CHECK(got_whole == got_pieces);
    FUZZ_CHECK(whole.corrupt == pieces.corrupt && whole.unsupported == pieces.unsupported);
    FUZZ_CHECK(morvex_receipt_gate_last_sequence_id(gate.get()) == 0);
    return 0;
}
