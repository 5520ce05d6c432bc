/*
 * pending.h -- the pending-query ring: the last PENDING_QUERIES_MAX client
 * queries sent upstream, each under an upstream ID of our own, found by
 * that ID in constant time, with the question each asked.
 *
 * Below both intake (which adds) and relay (which looks up), so that data
 * flows one way. Owned by the event-loop thread alone; nothing here is
 * locked, and nothing allocates.
 */
#ifndef QILDNSC_PENDING_H
#define QILDNSC_PENDING_H

#include <stdint.h>

#include "odr.h"
#include "vdns.h"
#include "vdns_question.h"

#define PENDING_QUERIES_MAX 256
/* Draws of the random generator for one fresh upstream ID before the
 * query is given up: with at most PENDING_QUERIES_MAX of 65536 IDs taken,
 * a working generator needs more than a few almost never. */
#define PENDING_ID_DRAWS 16
/* Queries pushed out of the ring within this many seconds of the last one
 * pushed out belong to the same burst. */
#define PENDING_BURST_QUIET_S 1

struct pending_query {
	uint16_t id;      /* the forwarder's upstream ID */
	uint16_t orig_id; /* the client's ID */
	uint8_t sock;     /* the pick of the upstream sockets it left from */
	uint16_t client_max; /* the largest answer the client takes over UDP */
	uint8_t answered;    /* the client has had an answer */
	uint8_t stopgap;     /* ...and it was ours, SERVFAIL or a stale entry,
	                        not a server's: the cache has none yet */
	uint8_t held;        /* an answer for it is held, or was */
	uint8_t refresh;     /* a cache refresh of our own: no client */
	uint8_t stale_ok;    /* the cache has an expired answer to fall back on */
	uint8_t cache_bits;  /* what of the query, besides its question, the
	                        cache keys its answer by (CACHE_BIT_); set
	                        without a cache too, for its EDNS and DO */
	uint16_t flags;      /* the client's header flags: its RD and CD */
	struct odr_timeval sent; /* the hold queue's clock when it left */
	struct sockaddr_storage client_addr;
	int32_t client_addrlen;
	struct vdns_question question;
	uint64_t rec; /* its number in the record of queries; 0 when not recorded */
};

/* What adding a record did to the one it overwrote. */
enum pending_add {
	PENDING_ADDED,      /* it was unused, answered, held or a refresh */
	PENDING_PUSHED_OUT, /* its client was still waiting: it never gets an answer */
	PENDING_BURST,      /* the same, the first after a quiet PENDING_BURST_QUIET_S */
};

/* Makes the ring empty (every slot unused); start-up and tests call it
 * before anything else here. */
void pending_init(void);
/*
 * Adds a copy of `pq` to the ring, overwriting the oldest record, and says
 * whether that one's client was still waiting (a burst of more queries
 * than the ring holds, by the `sent` times of the records). Upstream IDs in
 * the ring are unique, except 0, which every never-used slot holds; a
 * record added with an ID the ring already holds takes over that ID's
 * lookups.
 */
enum pending_add add_pending(const struct pending_query *pq);
/* True when the client of `pq` has had nothing from us yet: no answer
 * sent or held, and not a refresh of our own. */
bool pending_unanswered(const struct pending_query *pq);
/* The record with upstream ID `id`, or NULL; constant time. */
const struct pending_query *find_pending(uint16_t id);
/* True once for the record with upstream ID `id`: when it exists and its
 * client has had no answer yet, which it then has. */
bool pending_first_answer(uint16_t id);
/* Marks the record with upstream ID `id` as having an answer held. */
void pending_held(uint16_t id);
/* The number of records added so far: record number n (from 1) is the
 * n-th added. */
uint64_t pending_added(void);
/* Record number `n`, while the ring still holds it; else NULL. Records
 * are in the order they were added, so their `sent` times rise with n. */
struct pending_query *pending_nth(uint64_t n);
/* A fresh, unpredictable upstream ID that no slot of the ring holds, or -1
 * when PENDING_ID_DRAWS draws found none (a failing random generator). */
int32_t pending_new_id(void);

#endif
