/* morvex/receipt_gate.h: checking receipts where the command is executed.
 *
 * A receipt gate accepts an actuator command only together with a receipt
 * that a morvex boundary issued for exactly that command (axis, requested
 * position, commanded velocity), under the gate's 32-byte key, once, in order
 * of sequence id, and, when a maximum age is set, fresh. The receipt is the
 * 60-byte `receipt_hash` of the issuing side.
 *
 * The gate's state belongs to the caller and has a size fixed when the library
 * is built (by its nonce window, below): nothing is allocated, there is no
 * global state and no lock. One gate is used by one thread at a time; gates
 * are independent of each other. Usable from C99 and C++.
 *
 * Sessions: a gate that starts again from sequence id 0 (after a reset of the
 * board) would accept every receipt issued before. The checking side therefore
 * draws a random 16-byte session id at every start, announces it, and checks
 * receipts under the session key that morvex_session_key derives from the
 * long-term key and that id (morvex_receipt_gate_init_session does both); the
 * issuing side signs under the same session key from sequence id 1. Receipts
 * of an earlier session then fail authentication, and nothing needs to be
 * written to non-volatile storage.
 */
#ifndef MORVEX_RECEIPT_GATE_H
#define MORVEX_RECEIPT_GATE_H

#include <stddef.h>
#include <stdint.h>

#include "morvex/security_config.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MORVEX_GATE_KEY_LEN 32
#define MORVEX_GATE_RECEIPT_LEN 60
#define MORVEX_GATE_SESSION_ID_LEN 16

/* The nonce window: how many accepted nonces a gate remembers,
 * MORVEX_GATE_NONCE_WINDOW of morvex/security_config.h, chosen when the
 * library is built (CMake cache variable MORVEX_GATE_NONCE_WINDOW, a power of
 * two from 0 to 1024; 1024 unless the integrator chose otherwise). The
 * sequence rule alone already refuses every replay of an accepted receipt: its
 * sequence id is no longer above the last accepted one. What the window adds
 * is the refusal of a receipt whose nonce was reused under a higher sequence
 * id, which only an issuer holding the key produces (a failing random source,
 * an issuer restored from a copy of its state): such a receipt is refused
 * while the earlier use is among the last MORVEX_GATE_NONCE_WINDOW accepted
 * receipts, and accepted after that. 0 keeps no nonces. Each remembered nonce
 * costs 16 bytes of the gate's state. */
#define MORVEX_GATE_NONCE_MEMORY MORVEX_GATE_NONCE_WINDOW

/* Results of the gate's calls: 0 is success, every other value is the number
 * of the security error with the code string in the comment. */
enum {
    MORVEX_GATE_ACCEPTED = 0,
    MORVEX_GATE_INVALID_POINTER = 1,        /* "invalid_pointer" */
    MORVEX_GATE_INVALID_RECEIPT = 4,        /* "invalid_receipt": not 60 bytes */
    MORVEX_GATE_INVALID_KEY_LENGTH = 5,     /* "invalid_key_length": not 32 bytes */
    MORVEX_GATE_AUTHENTICATION_FAILURE = 6, /* "authentication_failure" */
    MORVEX_GATE_REPLAY_COUNTER = 7,         /* "replay_counter" */
    MORVEX_GATE_REPLAY_NONCE = 8,           /* "replay_nonce" */
    MORVEX_GATE_STALE_RECEIPT = 10          /* "stale_receipt" */
};

/* The gate's state: opaque, caller-owned, 8-byte aligned; 128 bytes and 16
 * for each nonce of the window (640 bytes for 32 nonces, about 16 KiB for
 * 1024). */
typedef struct morvex_receipt_gate {
    uint64_t opaque[16 + 2 * MORVEX_GATE_NONCE_WINDOW];
} morvex_receipt_gate;

/* The functions that make a gate carry the window in their linked names, so
 * that a program compiled with headers of another window than the library's
 * (and so another sizeof(morvex_receipt_gate)) fails to link instead of
 * overrunning the gate. Callers use the plain names below. */
#define MORVEX_GATE_WINDOW_NAME_(name, window) name##_window_##window
#define MORVEX_GATE_WINDOW_NAME(name, window) MORVEX_GATE_WINDOW_NAME_(name, window)
#define morvex_receipt_gate_init \
    MORVEX_GATE_WINDOW_NAME(morvex_receipt_gate_init, MORVEX_GATE_NONCE_WINDOW)
#define morvex_receipt_gate_init_session \
    MORVEX_GATE_WINDOW_NAME(morvex_receipt_gate_init_session, MORVEX_GATE_NONCE_WINDOW)

/* Makes `gate` a gate for `key` (key_len must be 32) that has already
 * accepted every sequence id up to `last_sequence_id` (0 for a fresh gate;
 * an application that stores the last accepted id can pass it after a
 * restart) and refuses receipts whose timestamp is more than `max_age_ns`
 * away from the time passed to check, in either direction (0: no age check).
 * Returns 0, MORVEX_GATE_INVALID_POINTER or MORVEX_GATE_INVALID_KEY_LENGTH;
 * on failure `gate` is left as it was. */
MORVEX_GATE_API uint32_t morvex_receipt_gate_init(morvex_receipt_gate* gate, const uint8_t* key,
                                                  size_t key_len, uint64_t last_sequence_id,
                                                  uint64_t max_age_ns);

/* The session key for `session_id` (session_id_len must be 16) under the
 * long-term `key` (key_len must be 32), written to `session_key` (32 bytes):
 * HMAC-SHA-256 keyed with `key` over the 21 ASCII bytes "morvex session key
 * v1" followed by the 16 bytes of the session id. The issuing side derives the
 * same key (morvex.session_key in Python). Returns 0,
 * MORVEX_GATE_INVALID_POINTER or MORVEX_GATE_INVALID_KEY_LENGTH (also for a
 * session id that is not 16 bytes); on failure nothing is written. */
MORVEX_GATE_API uint32_t morvex_session_key(const uint8_t* key, size_t key_len,
                                            const uint8_t* session_id, size_t session_id_len,
                                            uint8_t session_key[MORVEX_GATE_KEY_LEN]);

/* morvex_receipt_gate_init for a fresh session: the gate checks receipts under
 * the session key of `session_id` and `key`, from sequence id 1. The session
 * key is not kept anywhere else. Same results as morvex_session_key. */
MORVEX_GATE_API uint32_t morvex_receipt_gate_init_session(morvex_receipt_gate* gate,
                                                          const uint8_t* key, size_t key_len,
                                                          const uint8_t* session_id,
                                                          size_t session_id_len,
                                                          uint64_t max_age_ns);

/* Checks the receipt presented with a command, at wall-clock time `now_ns`
 * (nanoseconds since the Unix epoch: the caller's clock, so firmware without
 * a system clock and tests can pass their own). The checks run in this order,
 * the first failure deciding: receipt length (MORVEX_GATE_INVALID_RECEIPT),
 * the tag over exactly this command, compared in constant time
 * (MORVEX_GATE_AUTHENTICATION_FAILURE), age when enabled
 * (MORVEX_GATE_STALE_RECEIPT), sequence id above the last accepted
 * (MORVEX_GATE_REPLAY_COUNTER), nonce not among the last
 * MORVEX_GATE_NONCE_WINDOW accepted (MORVEX_GATE_REPLAY_NONCE). Without the key nothing is learnt
 * about the replay state. Returns 0 and records the receipt, or the refusal and changes nothing. */
MORVEX_GATE_API uint32_t morvex_receipt_gate_check(morvex_receipt_gate* gate,
                                                   const uint8_t* receipt, size_t receipt_len,
                                                   int32_t target_axis, double requested_position,
                                                   double commanded_velocity, uint64_t now_ns);

/* The sequence id of the last accepted receipt (or the one given to init). */
MORVEX_GATE_API uint64_t morvex_receipt_gate_last_sequence_id(const morvex_receipt_gate* gate);

/* Zeroes the whole gate, key included, in a way the compiler cannot drop.
 * A wiped gate refuses every receipt until it is initialised again. */
MORVEX_GATE_API void morvex_receipt_gate_wipe(morvex_receipt_gate* gate);

/* The code string ("replay_nonce") and message of a result; "accepted" and
 * "receipt accepted" for 0, NULL for a number that is no result. */
MORVEX_GATE_API const char* morvex_gate_code_string(uint32_t result);
MORVEX_GATE_API const char* morvex_gate_message(uint32_t result);

#ifdef __cplusplus
}
#endif

#endif /* MORVEX_RECEIPT_GATE_H */
