/*
 * upstream_key.h -- the 128-bit key shared with the encrypted upstream
 * servers. It is stored masked and assembled only when it is needed.
 */
#ifndef QILDNSC_UPSTREAM_KEY_H
#define QILDNSC_UPSTREAM_KEY_H

#include <stdint.h>

#define UPSTREAM_KEY_BYTES 16

void upstream_key_assemble(uint8_t out[UPSTREAM_KEY_BYTES]);

#endif
