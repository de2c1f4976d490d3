/* The session id: 16 random bytes at every start.
 *
 * A real board reads its hardware random number generator here (the TRNG of
 * the microcontroller, or a secure element). QEMU's mps2 boards have none, so
 * this firmware uses a documented stand-in: the emulator writes 16 bytes drawn
 * on the host (os.urandom) into the cell `entropy_seed` before reset, with two
 * generic loader devices:
 *
 *   -device loader,addr=<entropy_seed>,data=<8 bytes>,data-len=8
 *   -device loader,addr=<entropy_seed + 8>,data=<8 bytes>,data-len=8
 *
 * The cell is outside .data and .bss, so startup does not overwrite it. The id
 * is the first 16 bytes of SHA-256 over the cell and the SysTick count: without
 * the emulator's seed it would still differ between starts only by the count,
 * so a board must put real entropy here. The cell is then overwritten, so that
 * the next id (a session asked for by the controller) differs as well.
 */
#include <string.h>

#include "board.h"
#include "morvex/sha256.h"

__attribute__((section(".entropy_seed"), used)) volatile uint8_t entropy_seed[16];

void entropy_session_id(uint8_t session_id[16]) {
    uint8_t input[20];
    uint8_t digest[MORVEX_SHA256_DIGEST_LEN];
    for (size_t i = 0; i < 16; ++i) input[i] = entropy_seed[i];
    const uint32_t ticks = systick_now();
    memcpy(input + 16, &ticks, sizeof ticks);
    morvex_sha256(input, sizeof input, digest);
    memcpy(session_id, digest, 16);
    for (size_t i = 0; i < 16; ++i) entropy_seed[i] = digest[16 + i];
}
