/*
 * qca_frame.h -- the encrypted datagram framing of encrypted upstream
 * servers: a 2-byte little-endian length L, then the message padded with
 * zero bytes to whole 16-byte blocks and encrypted.
 *
 * Pure functions over caller-owned buffers; no allocation, any thread.
 */
#ifndef QIL_QCA_FRAME_H
#define QIL_QCA_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "qca.h"

/* The longest message whose padded blocks stay below 512 bytes. */
#define QCA_FRAME_MAXMSG  496
/* The largest datagram a frame may occupy: length field and 512 bytes. */
#define QCA_FRAME_MAXSIZE (2 + 512)

/*
 * Frames and encrypts `len` bytes of `msg` into `out` (room `outsz`).
 * Returns the datagram length (padded length + 2), or -1 when the message
 * is longer than QCA_FRAME_MAXMSG or `out` is too small.
 */
int QCA_frame(const QCA_Context *ctx, const uint8_t *msg, size_t len,
              uint8_t *out, size_t outsz);

enum qca_unframe_result {
	QCA_UNFRAME_OK = 0,
	QCA_UNFRAME_WRONG_LENGTH, /* n - 2 is not a whole number of blocks */
	QCA_UNFRAME_TOO_LONG,     /* the length field reads 512 or more */
	QCA_UNFRAME_SHORT,        /* the length field exceeds the decrypted data */
};

/*
 * Checks, decrypts and unwraps the `n`-byte datagram in `buf` in place.
 * On QCA_UNFRAME_OK the message is the first `*msglen` bytes of `buf`.
 * `*msglen` receives the length field whenever it could be read.
 */
enum qca_unframe_result QCA_unframe(const QCA_Context *ctx, uint8_t *buf,
                                    size_t n, size_t *msglen);

#endif
