/* The actuator side in C: checks each command against the receipt that came
 * with it, with the receipt gate of libmorvex_security.
 *
 *   receipt_gate_from_c KEY_HEX [MAX_AGE_NS] < commands
 *
 * Each line of the input is one command as it arrived:
 *   RECEIPT_HEX AXIS POSITION VELOCITY
 * (the 60-byte receipt_hash in hex, then the command). Prints one line per
 * command: its sequence id and "accepted", or the refusal's code string. Uses
 * the system clock; firmware passes its own time to morvex_receipt_gate_check.
 *
 * Build against an installed copy (`cmake --install build --prefix /opt/morvex`):
 *   cc -std=c99 -I /opt/morvex/include examples/receipt_gate_from_c.c -L /opt/morvex/lib \
 *      -lmorvex_security -Wl,-rpath,/opt/morvex/lib -o receipt_gate_from_c
 * or with CMake: find_package(morvex) and link morvex::security.
 */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "morvex/receipt_gate.h"

/* Reads exactly `len` bytes of hex; returns 0 on success. */
static int parse_hex(const char* text, uint8_t* out, size_t len) {
    if (strlen(text) != 2 * len) return -1;
    for (size_t i = 0; i < len; ++i) {
        unsigned int byte;
        if (sscanf(text + 2 * i, "%2x", &byte) != 1) return -1;
        out[i] = (uint8_t)byte;
    }
    return 0;
}

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* About 16 KiB: static storage rather than a firmware task's stack. */
static morvex_receipt_gate gate;

int main(int argc, char** argv) {
    uint8_t key[MORVEX_GATE_KEY_LEN];
    if (argc < 2 || parse_hex(argv[1], key, sizeof key) != 0) {
        fprintf(stderr, "usage: %s KEY_HEX [MAX_AGE_NS] < commands\n", argv[0]);
        return 2;
    }
    const uint64_t max_age_ns = argc > 2 ? strtoull(argv[2], NULL, 10) : 0;
    /* A real actuator restores the last accepted sequence id from storage here. */
    uint32_t result = morvex_receipt_gate_init(&gate, key, sizeof key, 0, max_age_ns);
    if (result != MORVEX_GATE_ACCEPTED) {
        fprintf(stderr, "init: %s\n", morvex_gate_message(result));
        return 1;
    }

    char receipt_hex[2 * MORVEX_GATE_RECEIPT_LEN + 1];
    int32_t axis;
    double position, velocity;
    while (scanf("%120s %" SCNd32 " %lf %lf", receipt_hex, &axis, &position, &velocity) == 4) {
        uint8_t receipt[MORVEX_GATE_RECEIPT_LEN];
        if (parse_hex(receipt_hex, receipt, sizeof receipt) != 0) {
            puts("invalid_receipt");
            continue;
        }
        result = morvex_receipt_gate_check(&gate, receipt, sizeof receipt, axis, position,
                                           velocity, now_ns());
        if (result == MORVEX_GATE_ACCEPTED) {
            printf("%" PRIu64 " accepted\n", morvex_receipt_gate_last_sequence_id(&gate));
        } else {
            puts(morvex_gate_code_string(result));
        }
    }
    morvex_receipt_gate_wipe(&gate); /* the key does not outlive the gate */
    return 0;
}
