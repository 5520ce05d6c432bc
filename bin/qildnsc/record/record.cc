/*
 * record.cc -- the ring of query records and the chart of the last hour.
 *
 * A record is found by its number in constant time (number modulo the
 * ring's size); a number whose slot holds another is gone, and what comes
 * for it is dropped. The lock is held for a copy, never for a system call,
 * so that the forwarding threads never wait on the page for long.
 */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "common/qildnsc.h"
#include "record/record.h"
#include "record/record_divert.h"
#include "vdns.h"

/* Local clients whose application is still to be found, at most this
 * many: beyond, they go unnamed rather than grow the queue. */
#define RECORD_LOOKUPS_MAX 1024
/* Sockets named lately, so that a client that asks again and again (a
 * browser, a resolver library keeping its socket) is named on the spot,
 * without waking the lookup thread: slots by port, believed this long. */
#define RECORD_NAMES 1024
#define RECORD_NAME_LIFE_S 1.0

struct record_name {
	bool tcp;
	uint16_t port;
	struct record_addr addr;
	double at; /* wall clock; 0 for an empty slot */
	int32_t uid, pid;
	char comm[16];
};

struct record_ring {
	unsigned magic;
#define RECORD_RING_MAGIC 0x5ec0dd17
	std::mutex mu;
	std::vector<struct record_entry> slots;
	uint64_t last; /* number of the newest record */
	std::array<struct record_second, RECORD_CHART_SECONDS> chart;
	std::condition_variable lookups_cv;
	std::deque<struct record_lookup> lookups;
	std::array<struct record_name, RECORD_NAMES> names;
	bool stopping;
};

static struct record_ring *ring;

void
record_init(size_t queries)
{
	AZ(ring);
	QIL_ASSERT(queries > 0);
	ring = new record_ring();
	ring->magic = RECORD_RING_MAGIC;
	ring->slots.resize(queries);
	ring->chart = {};
	ring->names = {};
	record_divert_init();
}

bool
record_on(void)
{
	return ring != NULL;
}

static double
record_wall(void)
{
	struct timespec ts;
	AZ(clock_gettime(CLOCK_REALTIME, &ts));
	return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* The record numbered `seq`, under the lock; NULL when it is gone. */
static struct record_entry *
record_find(uint64_t seq)
{
	struct record_entry *e = &ring->slots[seq % ring->slots.size()];
	return e->seq == seq ? e : NULL;
}

/* Runs `change` on the record numbered `seq` under the lock; nothing when
 * recording is off or the record is gone. */
template <typename F>
static void
record_change(uint64_t seq, F change)
{
	if (ring == NULL || seq == 0)
		return;
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	std::lock_guard lk(ring->mu);
	struct record_entry *e = record_find(seq);
	if (e != NULL)
		change(e);
}

/* The question's name as text: dotted, odd bytes as \DDD. A name too long
 * for `out` (each odd byte takes four) ends where it was cut, with "…". */
static void
record_qname(const struct vdns_question *q, char *out, size_t size)
{
	static const char cut[] = "\xe2\x80\xa6";
	QIL_ASSERT(size > sizeof cut + 5);
	const size_t room = size - sizeof cut;
	size_t o = 0;
	bool whole = true;
	for (size_t i = 0; whole && i < q->name_len && q->name[i] != 0;) {
		size_t n = q->name[i++];
		for (size_t j = 0; j < n && i < q->name_len; j++, i++) {
			uint8_t c = q->name[i];
			bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
			    c == '_' || (c >= 'A' && c <= 'Z');
			char t[8];
			size_t k = plain ? (t[0] = (char)c, 1) :
			    (size_t)snprintf(t, sizeof t, "\\%03u", c);
			/* Room for it and a dot after it. */
			if (o + k + 1 > room) {
				whole = false;
				break;
			}
			memcpy(out + o, t, k);
			o += k;
		}
		if (whole)
			out[o++] = '.';
	}
	if (!whole) {
		memcpy(out + o, cut, sizeof cut - 1);
		o += sizeof cut - 1;
	} else if (o == 0) {
		out[o++] = '.';
	}
	out[o] = '\0';
}

static void
record_addr_of(const struct sockaddr_storage *ss, struct record_addr *a, uint16_t *port)
{
	*a = {};
	*port = 0;
	if (ss->ss_family == AF_INET) {
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ss);
		a->family = AF_INET;
		memcpy(a->a, &sin->sin_addr, 4);
		*port = ntohs(sin->sin_port);
	} else if (ss->ss_family == AF_INET6) {
		const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ss);
		a->family = AF_INET6;
		memcpy(a->a, &sin6->sin6_addr, 16);
		*port = ntohs(sin6->sin6_port);
	}
}

static bool
record_tcp(unsigned t)
{
	return t == RECORD_TCP || t == RECORD_DIVERTED_TCP;
}

static bool
record_diverted(unsigned t)
{
	return t == RECORD_DIVERTED_UDP || t == RECORD_DIVERTED_TCP;
}

/* True for a client on this machine whose socket the kernel can name: on
 * the loopback, or any diverted one (diversion takes only what leaves). */
static bool
record_local(enum record_transport t, const struct record_addr *a)
{
	static const uint8_t lo6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
	if (record_diverted(t))
		return true;
	if (a->family == AF_INET)
		return a->a[0] == 127;
	return a->family == AF_INET6 && memcmp(a->a, lo6, 16) == 0;
}

/* The chart's second of `wall`, cleared when it held an older one. */
static struct record_second *
record_second_of(double wall)
{
	auto s = (int64_t)wall;
	struct record_second *rs = &ring->chart[(size_t)(s % RECORD_CHART_SECONDS)];
	if (rs->second != s)
		*rs = {s, {}};
	return rs;
}

static struct record_name *
record_name_slot(const struct record_entry *e)
{
	return &ring->names[(e->client_port ^ e->client.a[3] ^ e->client.a[15]) % RECORD_NAMES];
}

static bool
record_name_is(const struct record_name *n, const struct record_entry *e)
{
	return n->at != 0 && n->port == e->client_port && n->tcp == record_tcp(e->transport) &&
	    n->addr.family == e->client.family && memcmp(n->addr.a, e->client.a, 16) == 0;
}

/* Names `e` from a socket named lately, under the lock; false when it
 * must be looked up. */
static bool
record_named(struct record_entry *e)
{
	const struct record_name *n = record_name_slot(e);
	/* A diverted packet's owner is the truth: a name of another user's
	 * is of a socket gone since. */
	if (!record_name_is(n, e) || e->wall - n->at >= RECORD_NAME_LIFE_S ||
	    (e->uid >= 0 && n->uid != e->uid))
		return false;
	e->uid = n->uid;
	e->pid = n->pid;
	memcpy(e->comm, n->comm, sizeof e->comm);
	return true;
}

uint64_t
record_query(enum record_transport t, const struct sockaddr_storage *client,
             const struct vdns_question *q, const struct odr_timeval *now)
{
	if (ring == NULL)
		return 0;
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	struct record_entry e = {};
	e.wall = record_wall();
	e.qtype = q->type;
	e.uid = e.gid = e.pid = -1;
	e.sent = *now;
	record_addr_of(client, &e.client, &e.client_port);
	record_qname(q, e.name, sizeof e.name);
	bool local = record_local(t, &e.client);
	if ((t == RECORD_UDP || t == RECORD_DIVERTED_UDP) && local &&
	    record_divert_take(e.client.family, e.client_port, &e.uid, &e.gid))
		t = RECORD_DIVERTED_UDP;
	e.transport = t;

	std::lock_guard lk(ring->mu);
	e.seq = ++ring->last;
	if (local && !record_named(&e)) {
		if (ring->lookups.size() < RECORD_LOOKUPS_MAX) {
			ring->lookups.push_back({e.seq, record_tcp(t), record_diverted(t), e.client,
			    e.client_port, e.uid});
			ring->lookups_cv.notify_one();
		}
	}
	ring->slots[e.seq % ring->slots.size()] = e;
	return e.seq;
}

/* Up to RECORD_ADDRS_MAX addresses of the answer section, the RCODE and
 * the answer count of `msg`. */
static void
record_parse(struct record_reply *ra, const uint8_t *msg, size_t len)
{
	struct vdns_msg m;
	if (VDNS_initparse(msg, len, &m) < 0)
		return;
	ra->rcode = (uint8_t)(m.flags & VDNS_RCODE);
	ra->ancount = m.counts[VDNS_S_AN];
	for (int i = 0; i < m.counts[VDNS_S_AN] && ra->n_addrs < RECORD_ADDRS_MAX; i++) {
		struct vdns_rr rr;
		if (VDNS_parserr(&m, VDNS_S_AN, i, &rr) < 0)
			break;
		struct record_addr *a = &ra->addrs[ra->n_addrs];
		if (rr.type == VDNS_T_A && rr.rdlength == 4) {
			a->family = AF_INET;
			memcpy(a->a, rr.rdata, 4);
			ra->n_addrs++;
		} else if (rr.type == VDNS_T_AAAA && rr.rdlength == 16) {
			a->family = AF_INET6;
			memcpy(a->a, rr.rdata, 16);
			ra->n_addrs++;
		}
	}
}

static uint32_t
record_usec(const struct odr_timeval *from, const struct odr_timeval *to)
{
	int64_t us = ((int64_t)to->tv_sec - from->tv_sec) * 1000000 + (to->tv_usec - from->tv_usec);
	return (uint32_t)std::clamp<int64_t>(us, 0, UINT32_MAX);
}

void
record_answer(uint64_t seq, int server, const uint8_t *msg, size_t len, enum record_verdict v,
              const struct record_addr *cause, const struct odr_timeval *now)
{
	if (ring == NULL || seq == 0)
		return;
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	struct record_reply ra = {};
	ra.server = (int8_t)server;
	ra.verdict = v;
	if (cause != NULL)
		ra.cause = *cause;
	record_parse(&ra, msg, len);
	record_change(seq, [&](struct record_entry *e) {
		ra.usec = record_usec(&e->sent, now);
		if (e->answers_seen < UINT8_MAX)
			e->answers_seen++;
		if (e->n_answers < RECORD_ANSWERS_MAX)
			e->answers[e->n_answers++] = ra;
	});
}

void
record_held_end(uint64_t seq, int server, enum record_verdict v)
{
	record_change(seq, [&](struct record_entry *e) {
		/* The latest held answer of that server is the one meant. */
		for (int i = e->n_answers - 1; i >= 0; i--) {
			if (e->answers[i].server == server && e->answers[i].verdict == RECORD_HELD) {
				e->answers[i].verdict = v;
				return;
			}
		}
	});
}

static enum record_class
record_class_of(enum record_outcome o)
{
	switch (o) {
	case RECORD_ANSWERED:
		return RECORD_C_RELAYED;
	case RECORD_HELD_ANSWER:
		return RECORD_C_HELD;
	case RECORD_CACHED:
	case RECORD_STALE:
		return RECORD_C_CACHED;
	default:
		return RECORD_C_FAILED;
	}
}

void
record_outcome(uint64_t seq, enum record_outcome o, const struct odr_timeval *now)
{
	record_change(seq, [&](struct record_entry *e) {
		if (e->outcome != RECORD_WAITING)
			return;
		e->outcome = o;
		e->outcome_usec = record_usec(&e->sent, now);
		record_second_of(e->wall)->counts[record_class_of(o)]++;
	});
}

void
record_app(uint64_t seq, int32_t uid, int32_t pid, const char *comm)
{
	record_change(seq, [&](struct record_entry *e) {
		e->uid = uid;
		e->pid = pid;
		(void)snprintf(e->comm, sizeof e->comm, "%s", comm != NULL ? comm : "");
		struct record_name *n = record_name_slot(e);
		*n = {record_tcp(e->transport), e->client_port, e->client, record_wall(), uid, pid,
		    {}};
		memcpy(n->comm, e->comm, sizeof n->comm);
	});
}

std::vector<struct record_entry>
record_since(uint64_t after, size_t max)
{
	std::vector<struct record_entry> out;
	if (ring == NULL)
		return out;
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	std::lock_guard lk(ring->mu);
	uint64_t first = ring->last >= ring->slots.size() ? ring->last - ring->slots.size() + 1 : 1;
	first = std::max(first, after + 1);
	if (ring->last >= first && ring->last - first + 1 > max)
		first = ring->last - max + 1;
	for (uint64_t s = first; s <= ring->last; s++) {
		const struct record_entry *e = record_find(s);
		if (e != NULL)
			out.push_back(*e);
	}
	return out;
}

std::vector<struct record_second>
record_chart(int64_t now_wall, int n)
{
	std::vector<struct record_second> out;
	if (ring == NULL)
		return out;
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	n = std::clamp(n, 0, RECORD_CHART_SECONDS);
	std::lock_guard lk(ring->mu);
	for (int64_t s = now_wall - n + 1; s <= now_wall; s++) {
		const struct record_second *rs = &ring->chart[(size_t)(s % RECORD_CHART_SECONDS)];
		out.push_back(rs->second == s ? *rs : record_second{s, {}});
	}
	return out;
}

bool
record_lookups_wait(std::vector<struct record_lookup> *out, int gather_ms)
{
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	std::unique_lock lk(ring->mu);
	ring->lookups_cv.wait(lk, [] { return ring->stopping || !ring->lookups.empty(); });
	if (ring->stopping)
		return false;
	/* A burst of queries comes as one batch: one read of the socket
	 * tables for all of it. */
	if (gather_ms > 0) {
		lk.unlock();
		struct timespec ts = {0, (long)gather_ms * 1000000L};
		(void)nanosleep(&ts, NULL);
		lk.lock();
	}
	out->assign(ring->lookups.begin(), ring->lookups.end());
	ring->lookups.clear();
	return !ring->stopping;
}

void
record_lookups_stop(void)
{
	if (ring == NULL)
		return;
	CHECK_OBJ_NOTNULL(ring, RECORD_RING_MAGIC);
	std::lock_guard lk(ring->mu);
	ring->stopping = true;
	ring->lookups_cv.notify_all();
}

const char *
record_verdict_name(enum record_verdict v)
{
	static const char *const names[RECORD_VERDICTS] = {
		"relayed", "late", "held", "held then sent", "held then replaced",
		"kept out by a held answer", "dropped: blocklisted", "dropped: domestic server pointing abroad",
		"unmatched", "too large",
	};
	return v < RECORD_VERDICTS ? names[v] : "?";
}

const char *
record_outcome_name(enum record_outcome o)
{
	static const char *const names[RECORD_OUTCOMES] = {
		"waiting", "relayed", "held then sent", "SERVFAIL", "cache", "stale",
	};
	return o < RECORD_OUTCOMES ? names[o] : "?";
}

const char *
record_transport_name(enum record_transport t)
{
	switch (t) {
	case RECORD_UDP:
		return "UDP";
	case RECORD_TCP:
		return "TCP";
	case RECORD_DIVERTED_UDP:
		return "diverted UDP";
	case RECORD_DIVERTED_TCP:
		return "diverted TCP";
	}
	return "?";
}
