/*
 * late.cc -- stale answers and fail-fast SERVFAIL for the queries the
 * servers leave unanswered: two cursors over the pending ring, one per
 * delay.
 *
 * Event-loop thread only; nothing allocates.
 */
#include <string.h>

#include "cache/cache.h"
#include "common/qildnsc.h"
#include "common/stats.h"
#include "forward/edns.h"
#include "forward/held.h"
#include "forward/late.h"
#include "forward/pending.h"
#include "forward/sockets.h"
#include "record/record.h"
#include "vtim.h"

/* The next record each rule looks at (a number of pending_nth()). */
struct late_watch {
	unsigned magic;
#define LATE_WATCH_MAGIC 0x1a7e5c0f
	uint64_t stale_next;
	uint64_t fail_next;
};

static struct late_watch late = {LATE_WATCH_MAGIC, 1, 1};

void
late_init(void)
{
	late.magic = LATE_WATCH_MAGIC;
	late.stale_next = late.fail_next = pending_added() + 1;
}

/* Sends `n` bytes of `msg` to the client of `pq`, in its truncated form
 * when larger than it takes; the query counts as answered. */
static void
late_send(struct pending_query *pq, const uint8_t *msg, int n)
{
	uint8_t small[EDNS_CLASSIC_SIZE];

	if (n > pq->client_max) {
		n = VDNS_truncated(msg, (size_t)n, small, sizeof small);
		if (n < 0)
			return;
		msg = small;
	}
	sock_send(sock_local_fd(pq->client_addr.ss_family), msg, (size_t)n, &pq->client_addr,
	    pq->client_addrlen, "QILEC_00702");
	pq->answered = 1;
	pq->stopgap = 1;
}

static void
late_stale(struct pending_query *pq, const struct odr_timeval *now)
{
	uint8_t out[SOCK_DGRAM_MAX];

	if (!pending_unanswered(pq) || !pq->stale_ok || qil_cache == NULL)
		return;
	int n = cache_stale_answer(qil_cache, &pq->question, pq->cache_bits, pq->orig_id,
	    pq->flags, VTIM_tv(now), out, sizeof out);
	if (n <= 0)
		return;
	late_send(pq, out, n);
	stats_add(STATS_STALE, 1);
	record_outcome(pq->rec, RECORD_STALE, now);
}

/* SERVFAIL to the client of `pq`: its ID, opcode, RD and CD, the question
 * in its spelling, and an OPT record when it sent one. */
static void
late_fail(struct pending_query *pq, const struct odr_timeval *now)
{
	uint8_t q[VDNS_HEADER_SIZE + VDNS_MAXCDNAME + 4] = {};
	uint8_t out[sizeof q + VDNS_EDNS_LEN];

	if (!pending_unanswered(pq) || !pq->question.present)
		return;
	q[0] = (uint8_t)(pq->orig_id >> 8);
	q[1] = (uint8_t)pq->orig_id;
	q[2] = (uint8_t)(pq->flags >> 8);
	q[3] = (uint8_t)pq->flags;
	q[5] = 1;
	uint8_t *p = q + VDNS_HEADER_SIZE;
	VDNS_question_spell(&pq->question, p);
	p += pq->question.name_len;
	p[0] = (uint8_t)(pq->question.type >> 8);
	p[1] = (uint8_t)pq->question.type;
	p[2] = (uint8_t)(pq->question.rr_class >> 8);
	p[3] = (uint8_t)pq->question.rr_class;
	int n = VDNS_servfail(q, (size_t)(p + 4 - q), out, sizeof out);
	QIL_ASSERT(n > 0);
	if (pq->cache_bits & CACHE_BIT_EDNS)
		n = VDNS_edns_append(out, (size_t)n, sizeof out, SOCK_DGRAM_MAX,
		    (pq->cache_bits & CACHE_BIT_DO) ? VDNS_EDNS_DO : 0);
	QIL_ASSERT(n > 0);
	late_send(pq, out, n);
	stats_add(STATS_FAIL_FAST, 1);
	record_outcome(pq->rec, RECORD_SERVFAIL, now);
}

/*
 * Applies `rule` to each record from `*next` on whose query left `after_us`
 * or more before `now`; the record number to look at next stays in `*next`.
 * The wait until the next one is due, in microseconds, or -1.
 */
static int64_t
late_walk(uint64_t *next, int64_t after_us, const struct odr_timeval *now,
          void (*rule)(struct pending_query *, const struct odr_timeval *),
          bool stale)
{
	uint64_t added = pending_added();

	if (added >= PENDING_QUERIES_MAX && *next <= added - PENDING_QUERIES_MAX)
		*next = added - PENDING_QUERIES_MAX + 1;
	/* A ring emptied again (tests) starts over. */
	if (*next > added + 1)
		*next = added + 1;
	for (; *next <= added; (*next)++) {
		struct pending_query *pq = pending_nth(*next);
		/* Answered ones have nothing to wait for: no wake-up for them. */
		if (pq == NULL || !pending_unanswered(pq) || (stale && !pq->stale_ok))
			continue;
		int64_t left = after_us - elapsed_usec(&pq->sent, now);
		if (left > 0)
			return left;
		if (rule != NULL)
			rule(pq, now);
	}
	return -1;
}

/* Both rules over what is due; the wait until the next is, as late_walk(). */
static int64_t
late_turn(const struct odr_timeval *now, bool act)
{
	int64_t wait = -1;

	CHECK_OBJ_NOTNULL(&late, LATE_WATCH_MAGIC);
	if (qil_cache != NULL) {
		uint64_t next = late.stale_next;
		wait = late_walk(act ? &late.stale_next : &next,
		    (int64_t)(LATE_STALE_AFTER * 1e6), now, act ? late_stale : NULL, true);
	}
	if (dnsc_conf.fail_fast > 0) {
		uint64_t next = late.fail_next;
		int64_t w = late_walk(act ? &late.fail_next : &next,
		    (int64_t)dnsc_conf.fail_fast * 1000000, now, act ? late_fail : NULL, false);
		if (w >= 0 && (wait < 0 || w < wait))
			wait = w;
	}
	return wait;
}

void
late_run(const struct odr_timeval *now)
{
	(void)late_turn(now, true);
}

int
late_wait_ms(const struct odr_timeval *now)
{
	int64_t us = late_turn(now, false);
	/* Rounded up, so that the wait never ends before it is due. */
	return us < 0 ? -1 : (int)(us / 1000 + 1);
}
