/* morvex/receipt_gate.h: checking receipts where the command is executed.
 *
 * A receipt gate accepts an actuator command only together with a receipt
 * that a morvex boundary issued for exactly that command (axis, requested
 * position, commanded velocity), under the gate's 32-byte key, once, in order
 * of sequence id, and, when a maximum age is set, fresh. The receipt is the
 * 60-byte `receipt_hash` of the issuing side.
 *
 * The gate's state belongs to the caller and has a size fixed at compile time:
 * nothing is allocated, there is no global state and no lock. One gate is used
 * by one thread at a time; gates are independent of each other. Usable from
 * C99 and C++.
 */
#ifndef MORVEX_RECEIPT_GATE_H
#define MORVEX_RECEIPT_GATE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define MORVEX_GATE_API __declspec(dllexport)
#else
#define MORVEX_GATE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MORVEX_GATE_KEY_LEN 32
#define MORVEX_GATE_RECEIPT_LEN 60
/* How many accepted nonces a gate remembers. */
#define MORVEX_GATE_NONCE_MEMORY 1024

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

/* The gate's state: opaque, caller-owned, 8-byte aligned, about 16 KiB. */
typedef struct morvex_receipt_gate {
    uint64_t opaque[2080];
} morvex_receipt_gate;

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

/* Checks the receipt presented with a command, at wall-clock time `now_ns`
 * (nanoseconds since the Unix epoch: the caller's clock, so firmware without
 * a system clock and tests can pass their own). The checks run in this order,
 * the first failure deciding: receipt length (MORVEX_GATE_INVALID_RECEIPT),
 * the tag over exactly this command, compared in constant time
 * (MORVEX_GATE_AUTHENTICATION_FAILURE), age when enabled
 * (MORVEX_GATE_STALE_RECEIPT), sequence id above the last accepted
 * (MORVEX_GATE_REPLAY_COUNTER), nonce not among the last 1024 accepted
 * (MORVEX_GATE_REPLAY_NONCE). Without the key nothing is learnt about the
 * replay state. Returns 0 and records the receipt, or the refusal and
 * changes nothing. */
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
