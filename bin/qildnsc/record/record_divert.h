/*
 * record_divert.h -- what diversion knows of the queries it turns to the
 * forwarder, for the record: the application's port and the user and group
 * the kernel gives its packet. A diverted datagram reaches the listening
 * socket from the loopback and the application's port, like one sent there
 * directly; its note tells the two apart, and names the user even where
 * the application's process cannot be seen.
 *
 * Noted by the diversion thread, taken by the event loop (record_query());
 * one lock, held for a copy. Nothing is kept unless record_init() ran.
 */
#ifndef QILDNSC_RECORD_DIVERT_H
#define QILDNSC_RECORD_DIVERT_H

#include <stdint.h>

/* Notes are believed this long: a diverted query is read within
 * milliseconds, unless the forwarder is stuck. */
#define RECORD_DIVERT_LIFE_S 2.0

/* Makes the notes (record_init(), on the first thread; the diversion
 * thread may be noting already, and notes nothing before). */
void record_divert_init(void);
/* A query of `family` (AF_INET, AF_INET6) from the application's `port`
 * was turned to the forwarder; its packet's `uid` and `gid` (-1 when the
 * kernel did not say). Nothing when recording is off. */
void record_divert_note(int family, uint16_t port, int32_t uid, int32_t gid);
/* True, once, when a query from `port` of `family` on the loopback was
 * noted within RECORD_DIVERT_LIFE_S: it was diverted, and `*uid` and
 * `*gid` are its owner's. */
bool record_divert_take(int family, uint16_t port, int32_t *uid, int32_t *gid);

#endif
