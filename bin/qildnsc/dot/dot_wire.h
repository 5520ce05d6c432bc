/*
 * dot_wire.h -- what DNS over TLS puts on the stream besides the message:
 * the two-byte length before each message (read back by `dot_reader`),
 * and in each query an EDNS keepalive request and padding to a block
 * size, so that the length of a query tells an observer little of its
 * name.
 *
 * Pure functions over the caller's buffers; the TLS thread's and the fuzz
 * target's. Nothing allocates.
 */
#ifndef QILDNSC_DOT_WIRE_H
#define QILDNSC_DOT_WIRE_H

#include <stddef.h>
#include <stdint.h>

/* Queries are padded to a multiple of this many bytes. */
#define DOT_PAD_BLOCK 128
/* The EDNS record type and the options asked for. */
#define DOT_T_OPT 41
#define DOT_OPT_KEEPALIVE 11
#define DOT_OPT_PADDING 12
/* The largest message of the stream. */
#define DOT_MSG_MAX 65535

/* A stream cut back into messages, whatever the pieces it arrives in. */
struct dot_reader {
	unsigned magic;
#define DOT_READER_MAGIC 0x6b31d0a9
	size_t have; /* bytes of the current length and message */
	uint8_t buf[2 + DOT_MSG_MAX];
};

/* Called with each whole message (`len` may be anything from 0). */
typedef void dot_msg_f(void *priv, uint8_t *msg, size_t len);

void dot_reader_init(struct dot_reader *r);
/* Takes `n` bytes of the stream; `f` gets each message they complete. */
void dot_reader_feed(struct dot_reader *r, const uint8_t *p, size_t n, dot_msg_f *f,
                     void *priv);

/*
 * Writes the query `q` (`len` bytes) to `out` as the stream takes it: its
 * length, then the message under `id` with a keepalive request and padding
 * added to its OPT record (one is added when it has none; a query whose
 * OPT record is not its last record, or that pads already, goes as it is).
 * The bytes written, or -1 when `q` does not parse or `out` is too small.
 */
int dot_frame_query(const uint8_t *q, size_t len, uint16_t id, uint8_t *out, size_t outsize);

/* The idle time-out an answer's keepalive option gives, in units of
 * 100 ms, or -1 when it gives none. */
int dot_keepalive(const uint8_t *msg, size_t len);

#endif
