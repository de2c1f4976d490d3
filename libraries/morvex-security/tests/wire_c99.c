/* Compiled as strict C99 only: the wire header must be plain C. */
#include "morvex/wire.h"

size_t wire_c99_round_trip(morvex_wire_decoder* decoder, morvex_wire_frame* frame) {
    morvex_wire_session session = {{1, 2, 3}};
    uint8_t out[MORVEX_WIRE_MAX_ENCODED];
    size_t n = morvex_wire_encode_session(&session, out, sizeof out);
    morvex_wire_decoder_init(decoder);
    return morvex_wire_decoder_feed(decoder, out, n, frame);
}
