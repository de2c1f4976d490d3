/* The firmware's self-test, run on the target (and in the emulator by the
 * tests and bench/firmware_bench.py): the library's SHA-256 against NIST's
 * byte-oriented vectors, the receipt gate on receipts signed here with an
 * HMAC built on that SHA-256, a session key for a fixed key and id (which the
 * host compares with its own derivation), and what one check costs:
 * instructions (run QEMU with -icount shift=0, see below) and stack. Prints
 * one "name value" line per result and stops with "done". */
#include <string.h>

#include "board.h"
#include "morvex/receipt_gate.h"
#include "morvex/sha256.h"
#include "sha256_vectors.h"
#include "textbook_sha256.h"

/* ---- receipts signed here --------------------------------------------------- */

static const uint8_t KEY[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
static const double POSITION = 0.5, VELOCITY = -1.0;
#define AXIS 2

static void put_le64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = (uint8_t)(value >> (8 * i));
}

/* HMAC-SHA-256 under a 32-byte key (RFC 2104) from one-shot digests. */
static void hmac(const uint8_t key[32], const uint8_t* msg, size_t len, uint8_t out[32]) {
    uint8_t buffer[64 + 128];
    uint8_t inner[32];
    for (size_t i = 0; i < 64; ++i) buffer[i] = (uint8_t)((i < 32 ? key[i] : 0) ^ 0x36);
    memcpy(buffer + 64, msg, len);
    morvex_sha256(buffer, 64 + len, inner);
    for (size_t i = 0; i < 64; ++i) buffer[i] = (uint8_t)((i < 32 ? key[i] : 0) ^ 0x5c);
    memcpy(buffer + 64, inner, 32);
    morvex_sha256(buffer, 96, out);
}

/* The 60-byte receipt for sequence id n (nonce n, timestamp 0) of the command
 * (AXIS, POSITION, VELOCITY): nonce, timestamp, sequence id, then the tag of
 * the message with "axis_2" and the payload. */
static void issue(uint8_t receipt[60], uint32_t n) {
    uint8_t msg[12 + 8 + 8 + 8 + 6 + 8 + 16];
    memset(msg, 0, 12);
    memcpy(msg, &n, sizeof n);
    put_le64(msg + 12, 0);
    put_le64(msg + 20, n);
    put_le64(msg + 28, 6);
    memcpy(msg + 36, "axis_2", 6);
    put_le64(msg + 42, 16);
    memcpy(msg + 50, &POSITION, 8);
    memcpy(msg + 58, &VELOCITY, 8);
    memcpy(receipt, msg, 28);
    hmac(KEY, msg, sizeof msg, receipt + 28);
}

/* ---- measuring ---------------------------------------------------------------- */

/* With -icount shift=0 QEMU's clock advances exactly 1 ns per instruction, and
 * SysTick counts the boards' 25 MHz processor clock, so one tick is 40
 * instructions: deterministic counts, with a resolution of 40 / REPEATS per
 * operation. The calibration loop (two instructions per turn) gives the ratio
 * rather than assuming it. */
#define REPEATS 64
static uint32_t insns_per_1024_ticks;

static uint32_t elapsed(uint32_t start) { return (start - systick_now()) & 0x00ffffffu; }

static void calibrate(void) {
    uint32_t turns = 1u << 16;
    const uint32_t start = systick_now();
    __asm__ volatile("1: subs %0, #1\n bne 1b" : "+r"(turns) : : "cc");
    insns_per_1024_ticks = (uint32_t)(((uint64_t)2 << 16) * 1024u / elapsed(start));
}

static morvex_receipt_gate gate, full_gate;
static uint8_t receipts[REPEATS][60];
static uint8_t message[64];

typedef uint32_t (*operation)(uint32_t i);

static uint32_t op_nothing(uint32_t i) { return i; }
static uint32_t op_textbook(uint32_t i) {
    uint8_t digest[32];
    message[0] = (uint8_t)i;
    textbook_sha256(message, sizeof message, digest);
    return digest[0];
}
static uint32_t op_library_sha256(uint32_t i) {
    uint8_t digest[32];
    message[0] = (uint8_t)i;
    morvex_sha256(message, sizeof message, digest);
    return digest[0];
}
static uint32_t op_check(uint32_t i) {
    return morvex_receipt_gate_check(&gate, receipts[i], 60, AXIS, POSITION, VELOCITY, 0);
}

/* Instructions of one call of op, its loop and call subtracted. */
static uint32_t count(operation op) {
    operation volatile chosen = op;
    operation volatile nothing = op_nothing;
    uint32_t start = systick_now();
    for (uint32_t i = 0; i < REPEATS; ++i) (void)chosen(i);
    const uint32_t ticks = elapsed(start);
    start = systick_now();
    for (uint32_t i = 0; i < REPEATS; ++i) (void)nothing(i);
    const uint32_t overhead = elapsed(start);
    return (uint32_t)((uint64_t)(ticks - overhead) * insns_per_1024_ticks / 1024u / REPEATS);
}

/* Stack one check uses: the unused stack is painted, one check runs, and the
 * deepest byte it changed is found. */
extern uint8_t __stack_limit[];
static uint32_t stack_of_check(uint32_t i) {
    uint8_t* sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    memset(__stack_limit, 0xa5, (size_t)(sp - 256 - __stack_limit));
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    (void)op_check(i);
    const uint8_t* low = __stack_limit;
    while (*low == 0xa5) ++low;
    return (uint32_t)(sp - low);
}

static void report(const char* name, uint32_t value) {
    uart_print(UART_LINK, name);
    uart_print(UART_LINK, " ");
    uart_print_u32(UART_LINK, value);
    uart_print(UART_LINK, "\n");
}

/* Accepts receipts 1..count on a fresh gate: fills its nonce memory. */
static uint32_t fill(morvex_receipt_gate* g, uint32_t count_to) {
    uint32_t refused = 0;
    uint8_t receipt[60];
    for (uint32_t n = 1; n <= count_to; ++n) {
        issue(receipt, n);
        refused += morvex_receipt_gate_check(g, receipt, 60, AXIS, POSITION, VELOCITY, 0) != 0;
    }
    return refused;
}

int main(void) {
    uart_init(UART_LINK);
    systick_start();
    uart_print(UART_LINK, "morvex selftest\n");
    uart_print(UART_LINK, MORVEX_SHA256_EXTERNAL   ? "compression external\n"
                          : MORVEX_SHA256_UNROLLED ? "compression unrolled\n"
                                                   : "compression portable\n");

    uint32_t passed = 0;
    for (size_t v = 0; v < SHA256_VECTOR_COUNT; ++v) {
        uint8_t digest[32];
        morvex_sha256(SHA256_VECTORS[v].msg, SHA256_VECTORS[v].len, digest);
        passed += memcmp(digest, SHA256_VECTORS[v].md, 32) == 0;
    }
    report("sha256_vectors", (uint32_t)SHA256_VECTOR_COUNT);
    report("sha256_vectors_passed", passed);

    static const uint8_t session_id[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    uint8_t session_key[32];
    if (morvex_session_key(KEY, 32, session_id, 16, session_key) == 0) {
        uart_print(UART_LINK, "session_key ");
        uart_print_hex(UART_LINK, session_key, 32);
        uart_print(UART_LINK, "\n");
    }

    /* The gate on receipts signed here: a full nonce memory, then one more
     * accepted, the same again refused as a replay, a flipped tag refused. */
    morvex_receipt_gate_init(&full_gate, KEY, 32, 0, 0);
    const uint32_t window = MORVEX_GATE_NONCE_WINDOW;
    report("nonce_window", window);
    report("fill_refused", fill(&full_gate, window + 1));
    report("gate_bytes", (uint32_t)sizeof(morvex_receipt_gate));
    for (uint32_t i = 0; i < REPEATS; ++i) issue(receipts[i], window + 2 + i);
    gate = full_gate;
    report("accept", op_check(0));
    report("replay", op_check(0));
    receipts[1][59] ^= 1;
    report("flipped_tag", op_check(1));
    receipts[1][59] ^= 1;

    calibrate();
    report("insns_per_1024_ticks", insns_per_1024_ticks);
    report("insns_textbook_sha256_64", count(op_textbook));
    report("insns_library_sha256_64", count(op_library_sha256));
    gate = full_gate;
    report("insns_check_accepted", count(op_check));
    gate = full_gate;
    for (uint32_t i = 0; i < REPEATS; ++i) receipts[i][40] ^= 0x10; /* a tag bit */
    report("insns_check_refused", count(op_check));
    gate = full_gate;
    for (uint32_t i = 0; i < REPEATS; ++i) receipts[i][40] ^= 0x10;
    report("stack_check", stack_of_check(0));
    uart_print(UART_LINK, "done\n");
    return 0;
}
