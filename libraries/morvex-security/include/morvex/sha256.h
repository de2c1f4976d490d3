/* morvex/sha256.h: the SHA-256 (FIPS 180-4) under every receipt tag.
 *
 * morvex_sha256 is a one-shot digest, so that a firmware can check the
 * library's SHA-256 against published vectors on its own target.
 *
 * morvex_sha256_compress_blocks is the hook through which a firmware puts a
 * hardware hash engine under the library. A library configured with
 * -DMORVEX_SHA256_COMPRESSION=external calls it for every SHA-256 block
 * compression and contains none of its own (MORVEX_SHA256_EXTERNAL is then 1
 * in morvex/security_config.h), and the firmware must define it:
 * it compresses `block_count` consecutive 64-byte blocks (message bytes in
 * order, as FIPS 180-4 reads them) into the chaining value `state` (eight
 * 32-bit words, a..h in native integers, updated in place). Padding and
 * lengths are done by the library: an engine that only runs whole blocks from
 * a given chaining value is enough. It must not fail and must not keep a copy
 * of a block (blocks hold key-derived data). With the other settings
 * ("portable", the 64-round loop, or "unrolled") the symbol is neither
 * defined nor used.
 *
 * Usable from C99 and C++. */
#ifndef MORVEX_SHA256_H
#define MORVEX_SHA256_H

#include <stddef.h>
#include <stdint.h>

#include "morvex/security_config.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MORVEX_SHA256_DIGEST_LEN 32

/* Writes the SHA-256 digest of `len` bytes at `data` to `digest`. */
MORVEX_GATE_API void morvex_sha256(const uint8_t* data, size_t len,
                                   uint8_t digest[MORVEX_SHA256_DIGEST_LEN]);

/* Defined by the firmware when the library is built with the external
 * compression; see above. */
void morvex_sha256_compress_blocks(uint32_t state[8], const uint8_t* blocks, size_t block_count);

#ifdef __cplusplus
}
#endif

#endif /* MORVEX_SHA256_H */
