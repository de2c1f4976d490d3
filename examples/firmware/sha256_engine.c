/* Where a board with a hash engine puts it under morvex_security: a library
 * built with -DMORVEX_SHA256_COMPRESSION=external calls this for every SHA-256
 * compression (contract in morvex/sha256.h). These boards have no engine, so
 * the bench's textbook compression stands in, and the self-test's NIST vectors
 * check the plumbing. A real engine loads the chaining value, feeds the blocks
 * and reads the chaining value back. */
#include "morvex/sha256.h"
#include "textbook_sha256.h"

void morvex_sha256_compress_blocks(uint32_t state[8], const uint8_t* blocks, size_t block_count) {
    for (size_t i = 0; i < block_count; ++i) textbook_sha256_block(state, blocks + 64 * i);
}
