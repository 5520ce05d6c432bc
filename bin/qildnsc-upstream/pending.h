/*
 * pending.h -- the queries that qildnsc-upstream has sent to its resolver
 * and not yet seen answered: a fixed ring of UPS_PENDING_MAX records in
 * order of arrival, and an index from our upstream ID to its record.
 *
 * Nothing grows: when the ring is full the oldest query goes, and a query
 * unanswered after UPS_PENDING_TIMEOUT seconds is forgotten. IDs are drawn
 * from an unpredictable source and never repeat among queries in flight.
 * Owned by the serving thread alone; no lock.
 */
#ifndef QILDNSC_UPSTREAM_PENDING_H
#define QILDNSC_UPSTREAM_PENDING_H

#include <netinet/in.h>
#include <stdint.h>

#include <array>

#include "vdns_question.h"

#define UPS_PENDING_MAX     4096
#define UPS_PENDING_TIMEOUT 5.0
/* Draws of a fresh ID before a query is given up (a failing source). */
#define UPS_ID_DRAWS        16

struct ups_query {
	uint16_t id;      /* ours, in the query sent to the resolver */
	uint16_t orig_id; /* the client's, restored in the answer */
	bool in_flight;   /* neither answered nor expired */
	double deadline;  /* monotonic seconds */
	uint8_t sock;     /* the resolver socket it left from */
	struct sockaddr_in client;
	struct vdns_question question; /* what its answer must answer */
};

/* A source of unpredictable 32-bit values. */
typedef uint32_t ups_draw_f(void);

struct ups_pending {
	unsigned magic;
#define UPS_PENDING_MAGIC 0x7c3b52e1
	ups_draw_f *draw;
	uint32_t head;  /* the oldest record */
	uint32_t count; /* records from head on, in flight or not */
	std::array<struct ups_query, UPS_PENDING_MAX> ring;
	std::array<uint16_t, 65536> index; /* ID -> ring position + 1; 0: none */
};

/* A new, empty table drawing its IDs from `draw`. */
struct ups_pending *ups_pending_new(ups_draw_f *draw);
/* Frees the table `p`. */
void ups_pending_delete(struct ups_pending *p);

/*
 * Records a query from `client` with its ID `orig_id`, due to expire at
 * `now` + UPS_PENDING_TIMEOUT, and returns it with a fresh ID (its socket
 * and question are the caller's to fill); NULL when UPS_ID_DRAWS draws
 * found no free ID. When the ring was full, the oldest query was dropped
 * to make room and `*evicted` holds a copy of it (in_flight false when
 * there was none).
 */
struct ups_query *ups_pending_add(struct ups_pending *p, uint16_t orig_id,
                                        const struct sockaddr_in *client, double now,
                                        struct ups_query *evicted);

/* The query in flight with ID `id`, left in flight; NULL when none. */
const struct ups_query *ups_pending_find(const struct ups_pending *p, uint16_t id);
/* Removes the query in flight with ID `id` into `*out`; false when none. */
bool ups_pending_take(struct ups_pending *p, uint16_t id, struct ups_query *out);

/* Forgets the queries whose time is up at `now`; returns how many. */
unsigned ups_pending_expire(struct ups_pending *p, double now);

/* Queries in flight. */
unsigned ups_pending_in_flight(const struct ups_pending *p);

#endif
