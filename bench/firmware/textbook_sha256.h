#ifndef TEXTBOOK_SHA256_H
#define TEXTBOOK_SHA256_H
#include <stddef.h>
#include <stdint.h>
void textbook_sha256(const uint8_t* data, size_t len, uint8_t out[32]);
/* One compression: the 64-byte block p into the chaining value h. */
void textbook_sha256_block(uint32_t h[8], const uint8_t* p);
#endif
