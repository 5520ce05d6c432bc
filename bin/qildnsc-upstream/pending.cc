/*
 * pending.cc -- the ring of queries in flight to the resolver.
 *
 * Answered records stay in the ring, dead, until the head passes them;
 * the head moves on as soon as the oldest record is dead or expired, so
 * with a resolver that answers the ring holds little more than the
 * queries really in flight.
 */
#include <stdlib.h>
#include <string.h>

#include "pending.h"
#include "vas.h"

struct ups_pending *
ups_pending_new(ups_draw_f *draw)
{
	AN(draw);
	auto *p = static_cast<struct ups_pending *>(calloc(1, sizeof(struct ups_pending)));
	AN(p);
	p->magic = UPS_PENDING_MAGIC;
	p->draw = draw;
	return p;
}

void
ups_pending_delete(struct ups_pending *p)
{
	CHECK_OBJ_NOTNULL(p, UPS_PENDING_MAGIC);
	p->magic = 0;
	free(p);
}

/* Drops the oldest record; a copy of it goes to `*out` when given. */
static void
pending_pop(struct ups_pending *p, struct ups_query *out)
{
	struct ups_query *q = &p->ring[p->head];

	QIL_ASSERT(p->count > 0);
	if (out != NULL)
		*out = *q;
	if (q->in_flight) {
		p->index[q->id] = 0;
		q->in_flight = false;
	}
	p->head = (p->head + 1) % UPS_PENDING_MAX;
	p->count--;
}

struct ups_query *
ups_pending_add(struct ups_pending *p, uint16_t orig_id, const struct sockaddr_in *client,
                double now, struct ups_query *evicted)
{
	CHECK_OBJ_NOTNULL(p, UPS_PENDING_MAGIC);
	evicted->in_flight = false;
	if (p->count == UPS_PENDING_MAX)
		pending_pop(p, evicted);

	for (int i = 0; i < UPS_ID_DRAWS; i++) {
		uint16_t id = (uint16_t)(p->draw() & 0xffff);
		if (p->index[id] != 0)
			continue;
		uint32_t at = (p->head + p->count) % UPS_PENDING_MAX;
		struct ups_query *q = &p->ring[at];
		q->id = id;
		q->orig_id = orig_id;
		q->in_flight = true;
		q->deadline = now + UPS_PENDING_TIMEOUT;
		q->client = *client;
		p->index[id] = (uint16_t)(at + 1);
		p->count++;
		return q;
	}
	return NULL;
}

const struct ups_query *
ups_pending_find(const struct ups_pending *p, uint16_t id)
{
	CHECK_OBJ_NOTNULL(p, UPS_PENDING_MAGIC);
	uint16_t at = p->index[id];
	return at == 0 ? NULL : &p->ring[at - 1u];
}

bool
ups_pending_take(struct ups_pending *p, uint16_t id, struct ups_query *out)
{
	CHECK_OBJ_NOTNULL(p, UPS_PENDING_MAGIC);
	uint16_t at = p->index[id];
	if (at == 0)
		return false;
	struct ups_query *q = &p->ring[at - 1u];
	QIL_ASSERT(q->in_flight && q->id == id);
	*out = *q;
	q->in_flight = false;
	p->index[id] = 0;
	return true;
}

unsigned
ups_pending_expire(struct ups_pending *p, double now)
{
	unsigned expired = 0;

	CHECK_OBJ_NOTNULL(p, UPS_PENDING_MAGIC);
	while (p->count > 0) {
		const struct ups_query *q = &p->ring[p->head];
		if (q->in_flight && q->deadline > now)
			break;
		expired += q->in_flight;
		pending_pop(p, NULL);
	}
	return expired;
}

unsigned
ups_pending_in_flight(const struct ups_pending *p)
{
	unsigned n = 0;

	CHECK_OBJ_NOTNULL(p, UPS_PENDING_MAGIC);
	for (uint32_t i = 0; i < p->count; i++)
		n += p->ring[(p->head + i) % UPS_PENDING_MAX].in_flight;
	return n;
}
