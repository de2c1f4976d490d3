/* morvex/wire.h: commands, verdicts and sessions as frames on a byte stream.
 *
 * The controller sends each command with its receipt in a command frame; the
 * actuator side answers every command frame it decoded with a verdict frame,
 * and announces itself with a session frame when it starts. The frames travel
 * on any byte stream (a serial line, a CAN-to-serial bridge, a socket).
 *
 * Byte layout. A frame is first written as its plain bytes, all integers and
 * doubles little-endian (doubles as their IEEE 754 binary64 bits, so NaN
 * payloads, -0.0 and infinities travel unchanged):
 *
 *   | frame   | offset | size | field                                          |
 *   |---------|--------|------|------------------------------------------------|
 *   | all     | 0      | 1    | type: 1 command, 2 verdict, 3 session          |
 *   | all     | 1      | 1    | format version: 1                              |
 *   | command | 2      | 4    | axis, int32                                    |
 *   | command | 6      | 8    | requested_position, binary64                   |
 *   | command | 14     | 8    | commanded_velocity, binary64                   |
 *   | command | 22     | 60   | receipt: the boundary's 60-byte receipt_hash   |
 *   | command | 82     | 4    | CRC-32C of bytes 0-81, uint32 (86 bytes)       |
 *   | verdict | 2      | 8    | sequence_id of the receipt, uint64             |
 *   | verdict | 10     | 4    | axis, int32                                    |
 *   | verdict | 14     | 1    | result: 0 accepted, else the gate's refusal    |
 *   |         |        |      | number (MORVEX_GATE_* of morvex/receipt_gate.h)|
 *   | verdict | 15     | 4    | CRC-32C of bytes 0-14, uint32 (19 bytes)       |
 *   | session | 2      | 16   | session id, random bytes                       |
 *   | session | 18     | 4    | CRC-32C of bytes 0-17, uint32 (22 bytes)       |
 *
 * CRC-32C is the Castagnoli CRC (iSCSI, RFC 3720): reflected polynomial
 * 0x82F63B78 (0x1EDC6F41 unreflected), initial value and final XOR 0xFFFFFFFF;
 * the CRC of the ASCII text "123456789" is 0xE3069283. It covers every byte of
 * the frame before it.
 *
 * On the line every byte of the frame, CRC included, is XORed with 0xA5 (the
 * mask: typical frames are full of zero bytes, which cost COBS a step each,
 * and masked hold almost none), the result is COBS-encoded (Consistent
 * Overhead Byte Stuffing: each run of non-zero bytes is preceded by its
 * length + 1, which stands for the zero after it; the last run stands for no
 * zero) and followed by one 0x00 delimiter. A frame of n plain bytes takes
 * n + 2 bytes on the line (88 for a command frame) and contains no other zero.
 *
 * A decoder delivers a frame only if its COBS encoding is well formed, its
 * type and version are known, its length is that of its type, its CRC
 * matches and (verdict) its result is a known number. Anything else between
 * two delimiters is dropped and counted as corrupt: line noise, a frame cut
 * short, an empty frame, and more than 87 bytes without a delimiter (the rest
 * is skipped up to the next delimiter, so no frame spills into the next).
 * Frames with a matching CRC but an unknown type or version are counted as
 * unsupported as well (a peer speaking a later format, not noise).
 *
 * Everything here works in storage the caller owns: nothing is allocated,
 * there is no global state, the time per byte is bounded, and only memcpy and
 * memset are needed. A decoder is used by one thread at a time. Usable from
 * C99 and C++.
 */
#ifndef MORVEX_WIRE_H
#define MORVEX_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include "morvex/receipt_gate.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MORVEX_WIRE_VERSION 1

/* Frame types; MORVEX_WIRE_NONE marks "no frame" in a decoder's answer. */
enum {
    MORVEX_WIRE_NONE = 0,
    MORVEX_WIRE_COMMAND = 1,
    MORVEX_WIRE_VERDICT = 2,
    MORVEX_WIRE_SESSION = 3
};

#define MORVEX_WIRE_COMMAND_LEN 86 /* plain bytes of each frame, CRC included */
#define MORVEX_WIRE_VERDICT_LEN 19
#define MORVEX_WIRE_SESSION_LEN 22
#define MORVEX_WIRE_SESSION_ID_LEN 16
/* The most bytes a frame takes on the line, delimiter included: a buffer of
 * this size holds any encoded frame. */
#define MORVEX_WIRE_MAX_ENCODED (MORVEX_WIRE_COMMAND_LEN + 2)

typedef struct morvex_wire_command {
    int32_t axis;
    double requested_position;
    double commanded_velocity;
    uint8_t receipt[MORVEX_GATE_RECEIPT_LEN];
} morvex_wire_command;

typedef struct morvex_wire_verdict {
    uint64_t sequence_id; /* of the receipt; 0 when it could not be read */
    int32_t axis;
    uint32_t result; /* MORVEX_GATE_ACCEPTED or the gate's refusal */
} morvex_wire_verdict;

typedef struct morvex_wire_session {
    uint8_t session_id[MORVEX_WIRE_SESSION_ID_LEN];
} morvex_wire_session;

/* A decoded frame: `type` says which member holds it. */
typedef struct morvex_wire_frame {
    uint32_t type;
    union {
        morvex_wire_command command;
        morvex_wire_verdict verdict;
        morvex_wire_session session;
    } as;
} morvex_wire_frame;

/* The stream decoder's state, caller-owned. `corrupt` counts the frames
 * dropped, `unsupported` those of them that were intact but of an unknown type
 * or version; both only grow. The other fields are the decoder's own. */
typedef struct morvex_wire_decoder {
    uint64_t corrupt;
    uint64_t unsupported;
    uint8_t pending[MORVEX_WIRE_MAX_ENCODED - 1]; /* bytes of the frame in progress */
    uint8_t fill;
    uint8_t skipping; /* 1: past an over-long frame, waiting for a delimiter */
} morvex_wire_decoder;

/* Encoders: write the frame, delimiter included, to `out` and return its
 * length (at most MORVEX_WIRE_MAX_ENCODED), or 0 if a pointer is NULL, `out`
 * is shorter than the frame or (verdict) the result is not a number the gate
 * answers. */
MORVEX_GATE_API size_t morvex_wire_encode_command(const morvex_wire_command* command,
                                                  uint8_t* out, size_t out_len);
MORVEX_GATE_API size_t morvex_wire_encode_verdict(const morvex_wire_verdict* verdict,
                                                  uint8_t* out, size_t out_len);
MORVEX_GATE_API size_t morvex_wire_encode_session(const morvex_wire_session* session,
                                                  uint8_t* out, size_t out_len);

/* Makes `decoder` a fresh decoder: no frame in progress, counts 0. */
MORVEX_GATE_API void morvex_wire_decoder_init(morvex_wire_decoder* decoder);

/* Reads bytes from `data` up to and including the delimiter that ends the next
 * delivered frame, or all `len` bytes, and returns how many it read. `frame`
 * receives that frame, or type MORVEX_WIRE_NONE if none was completed. Frames
 * may be split across calls at any byte; call again with the rest:
 *
 *     while (len > 0) {
 *         size_t used = morvex_wire_decoder_feed(&decoder, data, len, &frame);
 *         data += used; len -= used;
 *         if (frame.type == MORVEX_WIRE_COMMAND) ...
 *     }
 *
 * With a NULL pointer (data may be NULL when len is 0) it reads nothing and
 * returns 0 (frame, if given, gets type MORVEX_WIRE_NONE). */
MORVEX_GATE_API size_t morvex_wire_decoder_feed(morvex_wire_decoder* decoder, const uint8_t* data,
                                                size_t len, morvex_wire_frame* frame);

/* The decoder and the receipt gate in one step: reads like
 * morvex_wire_decoder_feed and, when the frame it delivers is a command,
 * checks it with `gate` at time `now_ns` (see morvex_receipt_gate_check) and
 * writes the verdict to answer (sequence id, axis, the gate's result) to
 * `verdict`. Other frames are delivered unchecked (verdict untouched). A
 * dropped frame is never checked. With a NULL gate or verdict it reads
 * nothing and returns 0. */
MORVEX_GATE_API size_t morvex_wire_receive(morvex_wire_decoder* decoder, morvex_receipt_gate* gate,
                                           uint64_t now_ns, const uint8_t* data, size_t len,
                                           morvex_wire_frame* frame, morvex_wire_verdict* verdict);

#ifdef __cplusplus
}
#endif

#endif /* MORVEX_WIRE_H */
