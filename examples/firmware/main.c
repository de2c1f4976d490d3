/* The actuator side on a microcontroller: command frames in on UART0, each
 * checked by the receipt gate, accepted commands applied to a simulated
 * actuator, a verdict frame out for every command frame decoded.
 *
 * Sessions. At every start the firmware draws a random session id
 * (entropy.c), checks receipts under the session key of that id
 * (morvex_receipt_gate_init_session) and announces the id in a session frame.
 * The controller signs under the same session key from sequence id 1, so
 * receipts captured before a reset fail authentication after it, with nothing
 * written to non-volatile storage. A session frame received from the
 * controller asks for a new session (a controller that restarted has lost its
 * sequence ids): the firmware draws a new id, starts its gate afresh and
 * announces it. The id in the request is not used.
 *
 * Clock. The gate runs without a maximum age (now_ns 0): these boards have no
 * wall clock set against the controller's, and the session key and the
 * sequence rule already refuse every replay; freshness would need a clock
 * synchronised to the controller's within the maximum age.
 *
 * The simulated actuator and the decoder's corrupt count are logged as text
 * on UART1 (the board's debug console): one line per applied command,
 * "axis <n> <position as 16 hex digits of its bits>", and "corrupt <count>"
 * whenever the count grows. */
#include <string.h>

#include "board.h"
#include "morvex/receipt_gate.h"
#include "morvex/wire.h"

/* The long-term key shared with the controller. A real firmware keeps it in
 * protected storage; this one is the same fixed trial key as the demo's. */
static const uint8_t LONG_TERM_KEY[MORVEX_GATE_KEY_LEN] = {
    0x6d, 0x6f, 0x72, 0x76, 0x65, 0x78, 0x20, 0x66, 0x69, 0x72, 0x6d, 0x77, 0x61, 0x72, 0x65, 0x20,
    0x74, 0x72, 0x69, 0x61, 0x6c, 0x20, 0x6b, 0x65, 0x79, 0x20, 0x6f, 0x6e, 0x6c, 0x79, 0x21, 0x00};

static morvex_receipt_gate gate;
static morvex_wire_decoder decoder;

static void send(const uint8_t* frame, size_t length) { uart_write(UART_LINK, frame, length); }

static void start_session(void) {
    morvex_wire_session session;
    uint8_t frame[MORVEX_WIRE_MAX_ENCODED];
    entropy_session_id(session.session_id);
    if (morvex_receipt_gate_init_session(&gate, LONG_TERM_KEY, sizeof LONG_TERM_KEY,
                                         session.session_id, sizeof session.session_id, 0) != 0) {
        board_halt();
    }
    send(frame, morvex_wire_encode_session(&session, frame, sizeof frame));
}

static void apply(int32_t axis, double position) {
    uint8_t bits[8];
    uint64_t word;
    memcpy(&word, &position, sizeof word);
    for (int i = 0; i < 8; ++i) bits[i] = (uint8_t)(word >> (56 - 8 * i));
    uart_print(UART_DEBUG, "axis ");
    if (axis < 0) uart_print(UART_DEBUG, "-");
    uart_print_u32(UART_DEBUG, axis < 0 ? 0u - (uint32_t)axis : (uint32_t)axis);
    uart_print(UART_DEBUG, " ");
    uart_print_hex(UART_DEBUG, bits, sizeof bits);
    uart_print(UART_DEBUG, "\n");
}

int main(void) {
    uart_init(UART_LINK);
    uart_init(UART_DEBUG);
    systick_start();
    morvex_wire_decoder_init(&decoder);
    start_session();

    uint64_t corrupt_reported = 0;
    for (;;) {
        const uint8_t byte = uart_link_receive();
        morvex_wire_frame frame;
        morvex_wire_verdict verdict;
        (void)morvex_wire_receive(&decoder, &gate, 0, &byte, 1, &frame, &verdict);
        if (decoder.corrupt != corrupt_reported) {
            corrupt_reported = decoder.corrupt;
            uart_print(UART_DEBUG, "corrupt ");
            uart_print_u32(UART_DEBUG, (uint32_t)corrupt_reported);
            uart_print(UART_DEBUG, "\n");
        }
        if (frame.type == MORVEX_WIRE_COMMAND) {
            if (verdict.result == MORVEX_GATE_ACCEPTED) {
                apply(frame.as.command.axis, frame.as.command.requested_position);
            }
            uint8_t out[MORVEX_WIRE_MAX_ENCODED];
            send(out, morvex_wire_encode_verdict(&verdict, out, sizeof out));
        } else if (frame.type == MORVEX_WIRE_SESSION) {
            start_session();
        }
    }
}
