/*
 * upstream_key.h -- the 128-bit key shared by the forwarder and the
 * encrypted upstream servers (qildnsc-upstream). It is stored masked and
 * assembled only when it is needed; the build may replace it
 * (QILDNSC_UPSTREAM_KEY).
 */
#ifndef QIL_UPSTREAM_KEY_H
#define QIL_UPSTREAM_KEY_H

#include <stdint.h>

#include "qca.h"

#define UPSTREAM_KEY_BYTES 16

/* The raw key bytes. */
void upstream_key_assemble(uint8_t out[UPSTREAM_KEY_BYTES]);

/* Fills `ctx` with the schedule of the key; the raw bytes are wiped. */
void upstream_key_init(QCA_Context *ctx);

#endif
