/*
 * answer.h -- what goes back to the client for one answer of the resolver:
 * the answer framed and encrypted as it is; when it does not fit the frame
 * (more than QCA_FRAME_MAXMSG bytes), its truncated form (its header with
 * TC set and its question, no record), so that the client asks again over
 * TCP; nothing when not even that fits. An answer is never cut.
 *
 * Pure function over caller-owned buffers; serving thread.
 */
#ifndef QILDNSC_UPSTREAM_ANSWER_H
#define QILDNSC_UPSTREAM_ANSWER_H

#include <stddef.h>
#include <stdint.h>

#include "qca.h"

enum class answer_result {
	FRAMED,    /* `*framelen` bytes of `frame` are to be sent */
	TRUNCATED, /* the same, holding the truncated form of the answer */
	TOO_LONG,  /* refused: nothing is sent */
};

/*
 * Frames the `len`-byte answer `msg` (the client's ID already in place)
 * into `frame` (room QCA_FRAME_MAXSIZE).
 */
answer_result answer_frame(const QCA_Context *key, const uint8_t *msg, size_t len,
                           uint8_t *frame, size_t *framelen);

#endif
