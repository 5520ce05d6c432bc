/*
 * odr_recv.h -- the OS layer's stream receive that writes its own failure
 * to the log: one recv(2), reported in the log line QILEC_00440 when it
 * fails.
 *
 * It stands above the log (vtc_log), which itself stands on odr.h, whose
 * ODR_recvplain() it wraps. Safe on any thread.
 */
#ifndef QIL_ODR_RECV_H
#define QIL_ODR_RECV_H

#include <stddef.h>

#include "odr.h"

struct vtclog;

/* The wait-for-all receive flag. */
#define ODR_MSG_WAITALL MSG_WAITALL

/*
 * One receive of up to `len` bytes on `sock`; any thread. Logs QILEC_00440
 * through `vl` on failure and returns the raw result (count, 0 at end of
 * stream, -1 with the socket error kept).
 */
ssize_t ODR_recv(struct vtclog *vl, int sock, void *buf, size_t len, int flags);

#endif
