/*
 * late.h -- queries the servers leave unanswered: after LATE_STALE_AFTER an
 * expired answer of the cache goes to the client, marked to live
 * CACHE_STALE_TTL; after -F seconds with nothing relayed or held, SERVFAIL,
 * once, so that the application moves on instead of waiting out its own
 * time-out. Either is the query's one answer: a good one that comes later
 * is late, and not sent.
 *
 * Walks the pending ring in the order of its records, whose times rise, so
 * each turn looks only at the oldest record not yet due. A record that the
 * ring overwrites before its time has none of this. Event-loop thread only.
 */
#ifndef QILDNSC_LATE_H
#define QILDNSC_LATE_H

#include "odr.h"

/* Seconds without an answer before a stale one is sent. */
#define LATE_STALE_AFTER 1.8

/* Starts watching the queries added from now on; start-up and tests call
 * it after pending_init(). */
void late_init(void);
/* Sends what is due at `now` (the hold queue's clock). */
void late_run(const struct odr_timeval *now);
/* Milliseconds the loop may wait at `now` before something here is due, or
 * -1 when nothing is. */
int late_wait_ms(const struct odr_timeval *now);

#endif
