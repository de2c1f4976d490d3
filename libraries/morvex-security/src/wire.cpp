// Frames on a byte stream (morvex/wire.h): CRC-32C over the plain frame, a
// mask, COBS with a zero delimiter on the line.
#include "morvex/wire.h"

#include <cstring>

#include "byte_order.h"
#include "crc32c.h"

namespace {

namespace detail = morvex::security::detail;

constexpr std::size_t CRC_LEN = 4;
constexpr std::size_t MAX_PENDING = MORVEX_WIRE_MAX_ENCODED - 1;  // encoded, no delimiter
constexpr std::size_t RECEIPT_SEQUENCE_AT = 20;                 // in the 60-byte receipt

static_assert(sizeof(morvex_wire_decoder::pending) == MAX_PENDING);
static_assert(MAX_PENDING < 255, "every run fits one COBS code byte");

// The results a verdict may carry: acceptance and the gate's refusals.
bool known_result(std::uint32_t result) {
    switch (result) {
        case MORVEX_GATE_ACCEPTED:
        case MORVEX_GATE_INVALID_POINTER:
        case MORVEX_GATE_INVALID_RECEIPT:
        case MORVEX_GATE_INVALID_KEY_LENGTH:
        case MORVEX_GATE_AUTHENTICATION_FAILURE:
        case MORVEX_GATE_REPLAY_COUNTER:
        case MORVEX_GATE_REPLAY_NONCE:
        case MORVEX_GATE_STALE_RECEIPT:
            return true;
        default:
            return false;
    }
}

void store_f64(std::uint8_t* out, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    detail::store_le(out, bits);
}

double load_f64(const std::uint8_t* in) {
    const auto bits = detail::load_le<std::uint64_t>(in);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Every byte of a frame, CRC included, is XORed with MASK before COBS: typical
// frames are full of zero bytes (small integers, sequence ids, round doubles),
// and COBS decoding walks from one zero to the next; masked, they hold almost
// none, so decoding is a copy and an XOR.
constexpr std::uint8_t MASK = 0xA5;
constexpr std::uint64_t MASK_WORD = 0xA5A5A5A5A5A5A5A5u;

void apply_mask(std::uint8_t* bytes, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        word ^= MASK_WORD;
        std::memcpy(bytes + i, &word, sizeof word);
    }
    for (; i < size; ++i) bytes[i] ^= MASK;
}

// Appends the CRC to the `size` plain bytes in `plain`, masks them, then writes
// them COBS-encoded with the delimiter to `out` (room for size + 6 bytes
// checked by the caller). Returns the encoded length. Each byte keeps its
// place, one further on; the places of the zeros (found without a branch on
// the data) and the first place take the codes.
std::size_t seal(std::uint8_t* plain, std::size_t size, std::uint8_t* out) {
    detail::store_le(plain + size, detail::crc32c(plain, size));
    size += CRC_LEN;
    apply_mask(plain, size);
    std::uint8_t zeros[MORVEX_WIRE_COMMAND_LEN + 1];
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) {
        zeros[count] = static_cast<std::uint8_t>(i + 1);
        count += plain[i] == 0 ? 1u : 0u;
    }
    zeros[count++] = static_cast<std::uint8_t>(size + 1);  // the end, as if a zero followed
    std::memcpy(out + 1, plain, size);
    std::size_t code_at = 0;
    for (std::size_t k = 0; k < count; ++k) {
        out[code_at] = static_cast<std::uint8_t>(zeros[k] - code_at);
        code_at = zeros[k];
    }
    out[size + 1] = 0;
    return size + 2;
}

std::size_t start(std::uint8_t* plain, int type, const std::uint8_t* out, std::size_t out_len,
                  std::size_t frame_len) {
    if (out == nullptr || out_len < frame_len + 2) return 0;
    plain[0] = static_cast<std::uint8_t>(type);
    plain[1] = MORVEX_WIRE_VERSION;
    return 2;
}

constexpr std::uint64_t ONES = 0x0101010101010101u;
constexpr std::uint64_t HIGHS = 0x8080808080808080u;

bool has_zero(std::uint64_t word) { return ((word - ONES) & ~word & HIGHS) != 0; }

// The first zero byte among `size`, or `size`: a word at a time, then bytewise.
std::size_t find_zero(const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (has_zero(word)) break;
    }
    while (i < size && data[i] != 0) ++i;
    return i;
}

// Copies the bytes of `data` before its first zero to `out`, at most `size`
// of them, in the same pass that looks for the zero; returns how many.
std::size_t copy_to_zero(std::uint8_t* out, const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (has_zero(word)) break;
        std::memcpy(out + i, &word, sizeof word);
    }
    for (; i < size && data[i] != 0; ++i) out[i] = data[i];
    return i;
}

std::size_t expected_length(std::uint8_t type) {
    switch (type) {
        case MORVEX_WIRE_COMMAND:
            return MORVEX_WIRE_COMMAND_LEN;
        case MORVEX_WIRE_VERDICT:
            return MORVEX_WIRE_VERDICT_LEN;
        case MORVEX_WIRE_SESSION:
            return MORVEX_WIRE_SESSION_LEN;
        default:
            return 0;
    }
}

// Decodes the plain bytes of a well-formed frame into `frame`; false if it is
// not a frame this decoder delivers.
bool parse(const std::uint8_t* plain, std::size_t size, morvex_wire_frame* frame,
           morvex_wire_decoder* decoder) {
    if (size < 2 + CRC_LEN) return false;
    const bool intact = detail::crc32c(plain, size - CRC_LEN) ==
                        detail::load_le<std::uint32_t>(plain + size - CRC_LEN);
    const std::size_t length = expected_length(plain[0]);
    if (length == 0 || plain[1] != MORVEX_WIRE_VERSION) {
        if (intact) ++decoder->unsupported;
        return false;
    }
    if (!intact || size != length) return false;
    switch (plain[0]) {
        case MORVEX_WIRE_COMMAND: {
            morvex_wire_command& c = frame->as.command;
            c.axis = static_cast<std::int32_t>(detail::load_le<std::uint32_t>(plain + 2));
            c.requested_position = load_f64(plain + 6);
            c.commanded_velocity = load_f64(plain + 14);
            std::memcpy(c.receipt, plain + 22, sizeof c.receipt);
            break;
        }
        case MORVEX_WIRE_VERDICT: {
            morvex_wire_verdict& v = frame->as.verdict;
            v.result = plain[14];
            if (!known_result(v.result)) return false;
            v.sequence_id = detail::load_le<std::uint64_t>(plain + 2);
            v.axis = static_cast<std::int32_t>(detail::load_le<std::uint32_t>(plain + 10));
            break;
        }
        default:
            std::memcpy(frame->as.session.session_id, plain + 2, MORVEX_WIRE_SESSION_ID_LEN);
            break;
    }
    frame->type = plain[0];
    return true;
}

// The frame between two delimiters, `size` encoded bytes without zeros, in
// place: each code byte becomes the zero it stands for, so the masked bytes
// are pending[1 .. size - 1] (a code byte at the end stands for no zero).
bool finish(morvex_wire_decoder* decoder, std::size_t size, morvex_wire_frame* frame) {
    if (size < 2) return false;
    std::uint8_t* pending = decoder->pending;
    std::size_t code_at = pending[0];
    while (code_at < size) {
        const std::size_t next = code_at + pending[code_at];
        pending[code_at] = 0;
        code_at = next;
    }
    if (code_at != size) return false;
    apply_mask(pending + 1, size - 1);
    return parse(pending + 1, size - 1, frame, decoder);
}

}  // namespace

extern "C" {

std::size_t morvex_wire_encode_command(const morvex_wire_command* command, std::uint8_t* out,
                                       std::size_t out_len) {
    std::uint8_t plain[MORVEX_WIRE_COMMAND_LEN];
    if (command == nullptr ||
        start(plain, MORVEX_WIRE_COMMAND, out, out_len, MORVEX_WIRE_COMMAND_LEN) == 0) {
        return 0;
    }
    detail::store_le(plain + 2, static_cast<std::uint32_t>(command->axis));
    store_f64(plain + 6, command->requested_position);
    store_f64(plain + 14, command->commanded_velocity);
    std::memcpy(plain + 22, command->receipt, sizeof command->receipt);
    return seal(plain, MORVEX_WIRE_COMMAND_LEN - CRC_LEN, out);
}

std::size_t morvex_wire_encode_verdict(const morvex_wire_verdict* verdict, std::uint8_t* out,
                                       std::size_t out_len) {
    std::uint8_t plain[MORVEX_WIRE_VERDICT_LEN];
    if (verdict == nullptr || !known_result(verdict->result) ||
        start(plain, MORVEX_WIRE_VERDICT, out, out_len, MORVEX_WIRE_VERDICT_LEN) == 0) {
        return 0;
    }
    detail::store_le(plain + 2, verdict->sequence_id);
    detail::store_le(plain + 10, static_cast<std::uint32_t>(verdict->axis));
    plain[14] = static_cast<std::uint8_t>(verdict->result);
    return seal(plain, MORVEX_WIRE_VERDICT_LEN - CRC_LEN, out);
}

std::size_t morvex_wire_encode_session(const morvex_wire_session* session, std::uint8_t* out,
                                       std::size_t out_len) {
    std::uint8_t plain[MORVEX_WIRE_SESSION_LEN];
    if (session == nullptr ||
        start(plain, MORVEX_WIRE_SESSION, out, out_len, MORVEX_WIRE_SESSION_LEN) == 0) {
        return 0;
    }
    std::memcpy(plain + 2, session->session_id, MORVEX_WIRE_SESSION_ID_LEN);
    return seal(plain, MORVEX_WIRE_SESSION_LEN - CRC_LEN, out);
}

void morvex_wire_decoder_init(morvex_wire_decoder* decoder) {
    if (decoder != nullptr) std::memset(decoder, 0, sizeof *decoder);
}

std::size_t morvex_wire_decoder_feed(morvex_wire_decoder* decoder, const std::uint8_t* data,
                                     std::size_t len, morvex_wire_frame* frame) {
    if (frame != nullptr) frame->type = MORVEX_WIRE_NONE;
    if (decoder == nullptr || frame == nullptr || data == nullptr) return 0;
    std::size_t at = 0;
    while (at < len) {
        const std::uint8_t* from = data + at;
        const std::size_t available = len - at;
        std::size_t run;
        if (decoder->skipping != 0) {
            run = find_zero(from, available);
        } else {
            const std::size_t room = MAX_PENDING - decoder->fill;
            run = copy_to_zero(decoder->pending + decoder->fill, from,
                               available < room ? available : room);
            decoder->fill = static_cast<std::uint8_t>(decoder->fill + run);
            if (run < available && from[run] != 0) {  // over-long: drop it, skip to a delimiter
                decoder->skipping = 1;
                ++decoder->corrupt;
                run += find_zero(from + run, available - run);
            }
        }
        at += run;
        if (at == len) break;
        ++at;  // the delimiter
        const std::size_t size = decoder->fill;
        decoder->fill = 0;
        if (decoder->skipping != 0) {
            decoder->skipping = 0;
            continue;
        }
        if (finish(decoder, size, frame)) return at;
        frame->type = MORVEX_WIRE_NONE;
        ++decoder->corrupt;
    }
    return len;
}

std::size_t morvex_wire_receive(morvex_wire_decoder* decoder, morvex_receipt_gate* gate,
                                std::uint64_t now_ns, const std::uint8_t* data, std::size_t len,
                                morvex_wire_frame* frame, morvex_wire_verdict* verdict) {
    if (gate == nullptr || verdict == nullptr) {
        if (frame != nullptr) frame->type = MORVEX_WIRE_NONE;
        return 0;
    }
    const std::size_t used = morvex_wire_decoder_feed(decoder, data, len, frame);
    if (used == 0 || frame->type != MORVEX_WIRE_COMMAND) return used;
    const morvex_wire_command& c = frame->as.command;
    verdict->sequence_id = detail::load_le<std::uint64_t>(c.receipt + RECEIPT_SEQUENCE_AT);
    verdict->axis = c.axis;
    verdict->result = morvex_receipt_gate_check(gate, c.receipt, sizeof c.receipt, c.axis,
                                                c.requested_position, c.commanded_velocity, now_ns);
    return used;
}

}  // extern "C"
