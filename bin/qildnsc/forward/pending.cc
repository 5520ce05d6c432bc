/*
 * pending.cc -- the pending-query ring and its ID index, and the questions
 * kept in wire form for matching answers.
 *
 * Event-loop thread only. No allocation and no system call per query: the
 * ring and the index are fixed arrays of one handle, IDs come from a block
 * of random values.
 */
#include <string.h>

#include <array>

#include "common/qildnsc.h"
#include "forward/pending.h"
#include "odr_random.h"

/* The ring and its index: the event-loop thread's, zero until
 * pending_init() makes it. */
struct pending_ring {
	unsigned magic;
#define PENDING_RING_MAGIC 0x3d5e81a7
	std::array<struct pending_query, PENDING_QUERIES_MAX> pending_queries;
	int32_t pending_last;
	uint64_t pending_count; /* records added: the n-th is in slot n % size */
	/*
	 * The slot that last took each ID. A slot is only the ID's record
	 * while it still holds that ID, so an overwritten record drops out of
	 * the index by itself. All zero at start: slot 0, the last to be used,
	 * answers for the 0 of the never-used slots.
	 */
	std::array<uint8_t, 65536> pending_slot_of;
	/* When the last waiting query was pushed out, if one was. */
	struct odr_timeval pushed_out;
	bool pushed_any;
};
static_assert(PENDING_QUERIES_MAX <= 256, "slot numbers fit the index");

static struct pending_ring pending;

void
pending_init(void)
{
	/* A fresh process's ring is all zero already (every slot unused,
	 * holding ID 0, indexed by slot 0); only a ring made before (a
	 * test's) is emptied, so that a start touches none of its pages. */
	if (pending.magic == PENDING_RING_MAGIC) {
		pending.pending_queries.fill({});
		pending.pending_slot_of.fill(0);
		pending.pending_last = 0;
		pending.pending_count = 0;
		pending.pushed_out = {};
		pending.pushed_any = false;
	}
	pending.magic = PENDING_RING_MAGIC;
}

bool
pending_unanswered(const struct pending_query *pq)
{
	AN(pq);
	return !pq->refresh && !pq->answered && !pq->held && pq->client_addrlen > 0;
}

/* Notes that a waiting query was pushed out by `pq`: the first of a burst
 * when none was pushed out in the quiet while before. */
static enum pending_add
pending_push_out(const struct pending_query *pq)
{
	const struct odr_timeval &last = pending.pushed_out;
	int64_t usec = (pq->sent.tv_sec - last.tv_sec) * 1000000 + (pq->sent.tv_usec - last.tv_usec);
	bool first = !pending.pushed_any || usec >= PENDING_BURST_QUIET_S * 1000000;
	pending.pushed_out = pq->sent;
	pending.pushed_any = true;
	return first ? PENDING_BURST : PENDING_PUSHED_OUT;
}

enum pending_add
add_pending(const struct pending_query *pq)
{
	CHECK_OBJ_NOTNULL(&pending, PENDING_RING_MAGIC);
	AN(pq);
	pending.pending_last = (pending.pending_last + 1) % PENDING_QUERIES_MAX;
	pending.pending_count++;
	struct pending_query *slot = &pending.pending_queries[(size_t)pending.pending_last];
	uint16_t old = slot->id;
	enum pending_add r = pending_unanswered(slot) ? pending_push_out(pq) : PENDING_ADDED;
	*slot = *pq;
	pending.pending_slot_of[pq->id] = (uint8_t)pending.pending_last;
	/* A 0 given to a slot, now overwritten: slot 0 may still hold the 0 of
	 * a never-used one. */
	if (old == 0 && pq->id != 0 && pending.pending_slot_of[0] == pending.pending_last)
		pending.pending_slot_of[0] = 0;
	return r;
}

const struct pending_query *
find_pending(uint16_t id)
{
	CHECK_OBJ_NOTNULL(&pending, PENDING_RING_MAGIC);
	const struct pending_query *pq = &pending.pending_queries[pending.pending_slot_of[id]];
	return pq->id == id ? pq : NULL;
}

bool
pending_first_answer(uint16_t id)
{
	CHECK_OBJ_NOTNULL(&pending, PENDING_RING_MAGIC);
	struct pending_query *pq = &pending.pending_queries[pending.pending_slot_of[id]];
	if (pq->id != id || pq->client_addrlen == 0 || pq->answered)
		return false;
	pq->answered = 1;
	return true;
}

void
pending_held(uint16_t id)
{
	CHECK_OBJ_NOTNULL(&pending, PENDING_RING_MAGIC);
	struct pending_query *pq = &pending.pending_queries[pending.pending_slot_of[id]];
	if (pq->id == id)
		pq->held = 1;
}

uint64_t
pending_added(void)
{
	CHECK_OBJ_NOTNULL(&pending, PENDING_RING_MAGIC);
	return pending.pending_count;
}

struct pending_query *
pending_nth(uint64_t n)
{
	CHECK_OBJ_NOTNULL(&pending, PENDING_RING_MAGIC);
	if (n == 0 || n > pending.pending_count ||
	    pending.pending_count - n >= PENDING_QUERIES_MAX)
		return NULL;
	return &pending.pending_queries[n % PENDING_QUERIES_MAX];
}

int32_t
pending_new_id(void)
{
	/*
	 * Unpredictable, so that nobody who can reach the upstream port can
	 * guess the ID of a query in flight. Never-used slots hold 0, so 0 is
	 * not chosen while the ring has not wrapped. A draw of 0 is what a
	 * failing generator gives (a working one, once in 2^32 draws): it is
	 * never used, so that a broken generator cannot hand out one ID.
	 */
	for (int i = 0; i < PENDING_ID_DRAWS; i++) {
		uint32_t v = ODR_random(vl);
		if (v == 0)
			continue;
		uint16_t id = (uint16_t)(v & 0xffff);
		if (find_pending(id) == NULL)
			return id;
	}
	return -1;
}
