/*
 * held.cc -- the held-answer pool: fixed slots found by upstream ID
 * through an index and queued in due order, released to the listening
 * socket when HOLD_DELAY has passed.
 *
 * Event-loop thread only. Nothing allocates: a held answer is copied into
 * its slot.
 */
#include <string.h>

#include <algorithm>
#include <array>

#include "cache/cache.h"
#include "common/qildnsc.h"
#include "common/stats.h"
#include "forward/held.h"
#include "forward/pending.h"
#include "record/record.h"
#include "vdns.h"
#include "vtim.h"

/* The pool and its queue: the event-loop thread's, zero until held_init()
 * makes it. */
struct held_pool {
	unsigned magic;
#define HELD_POOL_MAGIC 0x6b0d2f93
	/*
	 * Slots below `held_fresh` have been used; the free ones among them
	 * are chained through `newer` from `held_free`, last freed first, so
	 * that only as much of the pool is touched as is held at the busiest
	 * time.
	 */
	std::array<struct held_answer, HELD_ANSWERS_SLOTS> held_answers;
	uint16_t held_oldest, held_newest;
	uint16_t held_free, held_fresh;
	int held_count;
	/* The slot that last held each ID; it is that ID's answer only while
	 * it is queued with that ID. */
	std::array<uint16_t, 65536> held_slot_of;
};

static struct held_pool held;

void
held_init(void)
{
	/* A fresh process's pool is all zero already; only a pool made before
	 * (a test's) has slots to empty. Touching the whole pool here would
	 * cost its pages at every start. */
	if (held.magic == HELD_POOL_MAGIC) {
		for (uint16_t i = 0; i < held.held_fresh; i++)
			held.held_answers[i].queued = 0;
		held.held_slot_of.fill(0);
	}
	held.held_oldest = held.held_newest = HELD_NONE;
	held.held_free = HELD_NONE;
	held.held_fresh = 0;
	held.held_count = 0;
	held.magic = HELD_POOL_MAGIC;
}

float
elapsed_seconds(const struct odr_timeval *earlier, const struct odr_timeval *later)
{
	int64_t sec = later->tv_sec - earlier->tv_sec;
	int32_t usec = later->tv_usec - earlier->tv_usec;
	return (float)sec + (float)usec / 1000000;
}

int64_t
elapsed_usec(const struct odr_timeval *earlier, const struct odr_timeval *later)
{
	return (later->tv_sec - earlier->tv_sec) * 1000000 + (later->tv_usec - earlier->tv_usec);
}

void
held_now(struct odr_timeval *now)
{
	struct odr_timespec ts;

	AZ(ODR_clock_gettime(ODR_CLOCK_MONOTONIC, &ts));
	now->tv_sec = ts.tv_sec;
	now->tv_usec = (int32_t)(ts.tv_nsec / 1000);
}

int
held_answers_count(void)
{
	CHECK_OBJ_NOTNULL(&held, HELD_POOL_MAGIC);
	return held.held_count;
}

static void
held_unlink(uint16_t i)
{
	struct held_answer *ha = &held.held_answers[i];

	if (ha->older != HELD_NONE)
		held.held_answers[ha->older].newer = ha->newer;
	else
		held.held_oldest = ha->newer;
	if (ha->newer != HELD_NONE)
		held.held_answers[ha->newer].older = ha->older;
	else
		held.held_newest = ha->older;
	ha->queued = 0;
	held.held_count--;
}

static void
held_append(uint16_t i)
{
	struct held_answer *ha = &held.held_answers[i];

	ha->older = held.held_newest;
	ha->newer = HELD_NONE;
	if (held.held_newest != HELD_NONE)
		held.held_answers[held.held_newest].newer = i;
	else
		held.held_oldest = i;
	held.held_newest = i;
	ha->queued = 1;
	held.held_count++;
}

static void
held_release_slot(uint16_t i)
{
	held_unlink(i);
	held.held_answers[i].newer = held.held_free;
	held.held_free = i;
}

/* A free slot; the pool must not be full. */
static uint16_t
held_take_slot(void)
{
	if (held.held_free != HELD_NONE) {
		uint16_t i = held.held_free;
		held.held_free = held.held_answers[i].newer;
		return i;
	}
	QIL_ASSERT(held.held_fresh < HELD_ANSWERS_SLOTS);
	return held.held_fresh++;
}

/*
 * True when a held answer and a new one answer the same client's query:
 * the same client address and the same client ID. An upstream ID is drawn
 * again once its pending record has been overwritten, possibly while an
 * answer under it is still held for another client; that one must stay.
 */
static bool
held_same_query(const struct held_answer *ha, const uint8_t *data, int32_t len,
                const struct sockaddr_storage *client_addr, int32_t client_addrlen)
{
	if (ha->client_addrlen != client_addrlen || ha->len < 2 || len < 2 ||
	    memcmp(ha->data, data, 2) != 0)
		return false;
	size_t alen = std::min(sizeof ha->client_addr, (size_t)std::max(client_addrlen, 0));
	return memcmp(&ha->client_addr, client_addr, alen) == 0;
}

/* True for a server's real answer, which says what is there (NOERROR) or
 * that nothing is (NXDOMAIN); false for its failures (SERVFAIL, REFUSED,
 * FORMERR, NOTIMP and the rarer codes). */
static bool
held_is_answer(const uint8_t *data, int32_t len)
{
	if (len < VDNS_HEADER_SIZE)
		return false;
	unsigned rcode = data[3] & 0x0f;
	return rcode == 0 || rcode == 3;
}

int
hold_answer_at(const struct odr_timeval *now, uint16_t id, const uint8_t *data,
               int32_t len, const struct sockaddr_storage *client_addr,
               int32_t client_addrlen, int server, int cache_bits)
{
	int result = HOLD_NEW;
	CHECK_OBJ_NOTNULL(&held, HELD_POOL_MAGIC);
	QIL_ASSERT(len >= 0 && (size_t)len <= sizeof held.held_answers[0].data);

	uint16_t i = held.held_slot_of[id];
	if (held.held_answers[i].queued && held.held_answers[i].id == id &&
	    held_same_query(&held.held_answers[i], data, len, client_addr, client_addrlen)) {
		/* A forger answers first and the server follows: its answer,
		 * empty or NXDOMAIN too, takes the forged one's place. Its
		 * failure says nothing about the name and must not cost the
		 * client a real answer. */
		const struct held_answer *ha = &held.held_answers[i];
		if (held_is_answer(ha->data, ha->len) && !held_is_answer(data, len))
			return HOLD_KEPT_OUT;
		/* A newer answer for the same query: it alone waits, from now. */
		result = ha->server;
		held_unlink(i);
		stats_add(STATS_REPLACED, 1);
	} else {
		if (held.held_count == HELD_ANSWERS_SLOTS) {
			/* Full: the oldest answer goes, unsent. */
			held_release_slot(held.held_oldest);
		}
		i = held_take_slot();
	}
	struct held_answer *ha = &held.held_answers[i];
	ha->id = id;
	ha->stamp = *now;
	ha->len = len;
	memcpy(ha->data, data, (size_t)len);
	ha->client_addr = *client_addr;
	ha->client_addrlen = client_addrlen;
	ha->server = server;
	ha->cache_bits = cache_bits;
	held_append(i);
	held.held_slot_of[id] = i;
	return result;
}

/* The pending record of the query a held answer answers: NULL once the
 * ring has given its slot, or its ID, to another query. */
static const struct pending_query *
held_query(const struct held_answer *ha)
{
	const struct pending_query *pq = find_pending(ha->id);
	if (pq == NULL || ha->len < 2 || (ha->data[0] << 8 | ha->data[1]) != pq->orig_id ||
	    ha->client_addrlen != pq->client_addrlen)
		return NULL;
	size_t alen = std::min(sizeof ha->client_addr, (size_t)std::max(ha->client_addrlen, 0));
	return memcmp(&ha->client_addr, &pq->client_addr, alen) == 0 ? pq : NULL;
}

void
release_held_answers_at(const struct odr_timeval *now)
{
	CHECK_OBJ_NOTNULL(&held, HELD_POOL_MAGIC);
	while (held.held_oldest != HELD_NONE) {
		struct held_answer *ha = &held.held_answers[held.held_oldest];
		/* In due order: nothing behind an answer that is not due is. */
		if (!(elapsed_seconds(&ha->stamp, now) > HOLD_DELAY))
			break;
		const struct pending_query *pq = held_query(ha);
		/* The cache keeps what a client took: this, unless it has had
		 * an answer already; a refresh of the cache's has no client. */
		if (ha->cache_bits >= 0 && qil_cache != NULL &&
		    (ha->client_addrlen == 0 || pq == NULL || !pq->answered || pq->stopgap))
			(void)cache_store(qil_cache, ha->data, (size_t)ha->len,
			    (uint8_t)ha->cache_bits, CACHE_RELEASED,
			    VTIM_tv(now));
		if (ha->client_addrlen == 0) {
			/* A refresh of the cache's: nobody to send it to. */
			held_release_slot(held.held_oldest);
			continue;
		}
		/* One query, one answer: a client that has had one already
		 * gets no second, which could say otherwise. */
		if (pq != NULL && pq->answered) {
			stats_add(STATS_LATE, 1);
			if (pq->rec != 0)
				record_held_end(pq->rec, ha->server, RECORD_LATE);
			held_release_slot(held.held_oldest);
			continue;
		}
		sock_send(sock_local_fd(ha->client_addr.ss_family), ha->data, (size_t)ha->len, &ha->client_addr,
		    ha->client_addrlen, "QILEC_00697");
		stats_add(STATS_HELD_SENT, 1);
		if (pq != NULL && pending_first_answer(pq->id))
			stats_server_win(ha->server);
		if (pq != NULL && pq->rec != 0) {
			record_held_end(pq->rec, ha->server, RECORD_HELD_SENT);
			record_outcome(pq->rec, RECORD_HELD_ANSWER, now);
		}
		held_release_slot(held.held_oldest);
	}
}

int
held_wait_ms(const struct odr_timeval *now, int longest_ms)
{
	CHECK_OBJ_NOTNULL(&held, HELD_POOL_MAGIC);
	if (held.held_oldest == HELD_NONE)
		return longest_ms;
	const struct odr_timeval *stamp = &held.held_answers[held.held_oldest].stamp;
	if (elapsed_seconds(stamp, now) > HOLD_DELAY)
		return 0;
	int64_t left_us = (int64_t)(HOLD_DELAY * 1e6f + 0.5f) - elapsed_usec(stamp, now);
	/* Rounded up, so that the wait never ends before the answer is due. */
	int64_t ms = (left_us < 0 ? 0 : left_us / 1000) + 1;
	return longest_ms < 0 || ms < longest_ms ? (int)ms : longest_ms;
}

void
hold_answer(uint16_t id, const uint8_t *data, int32_t len,
            const struct sockaddr_storage *client_addr, int32_t client_addrlen)
{
	struct odr_timeval now;

	held_now(&now);
	hold_answer_at(&now, id, data, len, client_addr, client_addrlen);
}

void
release_held_answers(void)
{
	struct odr_timeval now;

	held_now(&now);
	release_held_answers_at(&now);
	sock_flush();
}
