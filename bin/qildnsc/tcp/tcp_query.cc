/*
 * tcp_query.cc -- a query over TCP: started on both paths to the servers
 * (plain servers over TCP, tcp_upstream.cc; encrypted ones by datagram,
 * tcp_datagram.cc), each whole answer checked (QR, ID, question) and
 * judged by filter_response(), and the query's one reply given to its
 * client through the reply callback.
 *
 * TCP thread only. Complaints that anyone (a client, a server) can
 * trigger are rate-limited.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "cache/cache.h"
#include "common/qildnsc.h"
#include "common/stats.h"
#include "forward/filter.h"
#include "forward/held.h"
#include "odr.h"
#include "record/record.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_query_paths.h"
#include "vdns.h"
#include "vtc_log.h"
#include "vtim.h"

/* The reply: given first, while `data` may still live in a path's buffer
 * that the closing frees. */
/* The record's clock, the hold queue's. */
static struct odr_timeval
tcpq_now(void)
{
	struct odr_timeval now;
	held_now(&now);
	return now;
}

static void
tcpq_finish(struct tcp_query *q, const uint8_t *data, size_t len,
            enum record_outcome how = RECORD_ANSWERED)
{
	if (q->rec != 0) {
		struct odr_timeval now = tcpq_now();
		if (how == RECORD_HELD_ANSWER)
			record_held_end(q->rec, q->kept_server, RECORD_HELD_SENT);
		record_outcome(q->rec, how, &now);
	}
	q->done = true;
	q->reply(q->priv, data, len);
	for (auto &u : q->ups)
		tcpq_upstream_close(u.get());
	tcpq_datagrams_close(q);
	tcpq_tls_close(q);
}

/* The reply with a judged answer, which the cache keeps as a client's
 * answer over UDP would be kept. */
static void
tcpq_finish_judged(struct tcp_query *q, const uint8_t *data, size_t len,
                   enum cache_origin origin, enum record_outcome how = RECORD_ANSWERED)
{
	if (q->cache_bits >= 0 && qil_cache != NULL)
		(void)cache_store(qil_cache, data, len, (uint8_t)q->cache_bits, origin,
		    VTIM_mono());
	tcpq_finish(q, data, len, how);
}

/* The kept answer as the reply: a held one counts as released. */
static void
tcpq_finish_kept(struct tcp_query *q)
{
	if (q->kept_kind == TCPQ_KEPT_TRUNCATED)
		tcpq_finish(q, q->kept.data(), q->kept.size());
	else
		tcpq_finish_judged(q, q->kept.data(), q->kept.size(), CACHE_RELEASED,
		    RECORD_HELD_ANSWER);
}

static void
tcpq_servfail(struct tcp_query *q)
{
	uint8_t buf[TCP_MSG_MAX];
	const uint8_t *msg = q->wire.data() + 2;
	int n = VDNS_servfail(msg, q->wire.size() - 2, buf, sizeof buf);
	if (n < 0) {
		/* Questions the reply cannot walk: the header alone answers. */
		uint8_t hdr[VDNS_HEADER_SIZE];
		memcpy(hdr, msg, sizeof hdr);
		hdr[4] = hdr[5] = 0;
		n = VDNS_servfail(hdr, sizeof hdr, buf, sizeof buf);
	}
	QIL_ASSERT(n > 0);
	tcpq_finish(q, buf, (size_t)n, RECORD_SERVFAIL);
}

void
tcpq_settle(struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	if (q->done)
		return;
	if (q->open == 0 && q->kept_kind != TCPQ_KEPT_NONE)
		tcpq_finish_kept(q);
	else if (q->open == 0)
		tcpq_servfail(q);
	else if (q->kept_kind == TCPQ_KEPT_TRUNCATED && q->tcp_open == 0)
		tcpq_finish(q, q->kept.data(), q->kept.size());
}

/* Keeps an answer as the fallback. A real answer (NOERROR or NXDOMAIN,
 * records or none) is never replaced by a server's failure or a truncated
 * datagram; otherwise the newer replaces the older, as the server's own
 * answer replaces the forged one before it. */
static void
tcpq_keep(struct tcp_query *q, int server, const struct vdns_msg *m, const uint8_t *msg,
          size_t len)
{
	enum tcpq_kept kind = TCPQ_KEPT_FAILURE;
	if (m->flags & VDNS_TC)
		kind = TCPQ_KEPT_TRUNCATED;
	else if (filter_is_answer(m))
		kind = TCPQ_KEPT_ANSWER;
	struct odr_timeval now = tcpq_now();
	if (q->kept_kind == TCPQ_KEPT_ANSWER && kind != TCPQ_KEPT_ANSWER) {
		record_answer(q->rec, server, msg, len, RECORD_KEPT_OUT, NULL, &now);
		return;
	}
	if (q->kept_kind == TCPQ_KEPT_FAILURE || q->kept_kind == TCPQ_KEPT_ANSWER)
		record_held_end(q->rec, q->kept_server, RECORD_HELD_REPLACED);
	record_answer(q->rec, server, msg, len, RECORD_HELD, NULL, &now);
	q->kept.assign(msg, msg + len);
	q->kept_kind = kind;
	q->kept_server = server;
	q->kept_at = VTIM_mono();
}

/* Records an answer sent at once. */
static void
tcpq_record_sent(struct tcp_query *q, int server, const uint8_t *msg, size_t len)
{
	struct odr_timeval now = tcpq_now();
	record_answer(q->rec, server, msg, len, RECORD_RELAYED, NULL, &now);
}

/* Judges a checked answer of the query from `us`. */
static void
tcpq_judge(struct tcp_query *q, const struct upstream_server *us, struct vdns_msg *m,
           const uint8_t *msg, size_t len, enum tcpq_path path)
{
	int server = (int)(us - upstreams.upstream_servers);
	bool datagram = path == TCPQ_PATH_DATAGRAM;
	/* A failure without a question carries no address to judge; it waits
	 * like an empty answer for a real one to overtake it. */
	if (filter_bare_failure(m))
		return tcpq_keep(q, server, m, msg, len);
	/* Truncated, it carries no records either. A truncated datagram
	 * means "ask over TCP": what the plain servers still open do. */
	if (m->flags & VDNS_TC) {
		if (!datagram || q->tcp_open == 0) {
			tcpq_record_sent(q, server, msg, len);
			return tcpq_finish(q, msg, len);
		}
		return tcpq_keep(q, server, m, msg, len);
	}
	struct filter_why why = {};
	enum cache_origin relayed = path == TCPQ_PATH_TLS ? CACHE_VERIFIED : CACHE_RELAYED;
	switch (filter_judge(m, &us->addr, &why)) {
	case FILTER_RELAY:
		tcpq_record_sent(q, server, msg, len);
		return tcpq_finish_judged(q, msg, len, relayed);
	case FILTER_HOLD:
		/* Over a verified TLS connection nothing was forged on the
		 * path: nothing is gained by holding it. */
		if (path == TCPQ_PATH_TLS && filter_is_answer(m)) {
			tcpq_record_sent(q, server, msg, len);
			return tcpq_finish_judged(q, msg, len, relayed);
		}
		return tcpq_keep(q, server, m, msg, len);
	case FILTER_DROP: {
		struct odr_timeval now = tcpq_now();
		struct record_addr cause = {AF_INET, {}};
		memcpy(cause.a, &why.addr, sizeof why.addr);
		record_answer(q->rec, server, msg, len, why.cause == FILTER_CAUSE_BLOCKED ?
		    RECORD_BLOCKED : RECORD_ABROAD, &cause, &now);
		return;
	}
	default:
		WRONG("filter_verdict");
	}
}

const char *
tcpq_take(struct tcp_query *q, const struct upstream_server *us, uint8_t *msg, size_t len,
          uint16_t id, enum tcpq_path path)
{
	struct vdns_question question;
	struct vdns_msg m;

	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	AN(us);
	if (q->done)
		return NULL;
	if (VDNS_initparse(msg, len, &m) < 0 || VDNS_question_read(&m, &question) < 0)
		return "Failed to parse DNS response.";
	/* A server's failure may come without the question (filter.h). */
	if (!(m.flags & VDNS_QR) || m.id != id ||
	    (!filter_bare_failure(&m) && !VDNS_question_equal(&q->question, &question)))
		return "it does not answer its query; dropped.";
	/* The client's ID, where the answer carries one of ours. */
	msg[0] = (uint8_t)(q->id >> 8);
	msg[1] = (uint8_t)(q->id & 0xff);
	tcpq_judge(q, us, &m, msg, len, path);
	return NULL;
}

void
tcp_query_env_init(struct tcp_query_env *env, struct tcp_poll *poll)
{
	AN(env);
	AN(poll);
	*env = {TCP_QUERY_ENV_MAGIC, poll, VTC_LIMIT_INIT("QILEC_00825", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00826", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00828", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00836", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00837", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00838", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00839", VTCLOG_WARN), false, {}, {},
	    VTC_LIMIT_INIT("QILEC_01039", VTCLOG_WARN)};
	tcpq_tls_env_init(env);
}

/* Asks every server the query can go to; false when it can go to none. */
static bool
tcpq_start(struct tcp_query *q)
{
	int plain = 0;
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		if (upstreams.upstream_servers[i].flags & (UPSTREAM_ENCRYPTED | UPSTREAM_TLS))
			continue;
		plain++;
		(void)tcpq_connect(q, &upstreams.upstream_servers[i]);
	}
	bool encrypted = tcpq_datagrams_start(q);
	encrypted = tcpq_tls_start(q) || encrypted;
	if (plain == 0 && !encrypted && !q->env->no_plain_logged) {
		vtc_log(vl, VTCLOG_WARN,
		    "QILEC_00827: No plain DNS server: queries over TCP are answered with SERVFAIL.");
		q->env->no_plain_logged = true;
	}
	return q->open > 0;
}

/* Replies from the cache when it holds a fresh answer; true when it did. */
static bool
tcpq_from_cache(struct tcp_query *q, const uint8_t *msg, size_t len, double now)
{
	/* The TCP thread's own: an answer stored from TCP may be this long. */
	thread_local uint8_t out[TCP_MSG_MAX];

	int n = cache_answer(qil_cache, msg, len, &q->question, (uint8_t)q->cache_bits, now,
	    out, sizeof out, NULL);
	if (n <= 0)
		return false;
	stats_add(STATS_CACHE_HITS, 1);
	tcpq_finish(q, out, (size_t)n, RECORD_CACHED);
	return true;
}

struct tcp_query *
tcp_query_new(struct tcp_query_env *env, const uint8_t *msg, size_t len,
              tcp_reply_f *reply, void *priv, double now,
              const struct sockaddr_storage *client, bool diverted)
{
	struct vdns_msg parsed;
	struct vdns_question question;

	CHECK_OBJ_NOTNULL(env, TCP_QUERY_ENV_MAGIC);
	AN(reply);
	QIL_ASSERT(len <= TCP_MSG_MAX);
	if (VDNS_initparse(msg, len, &parsed) < 0 ||
	    VDNS_question_read(&parsed, &question) < 0)
		return NULL;
	auto *q = new tcp_query();
	q->magic = TCP_QUERY_MAGIC;
	q->env = env;
	q->reply = reply;
	q->priv = priv;
	q->wire.resize(2 + len);
	q->wire[0] = (uint8_t)(len >> 8);
	q->wire[1] = (uint8_t)(len & 0xff);
	memcpy(q->wire.data() + 2, msg, len);
	q->id = parsed.id;
	q->question = question;
	q->deadline = now + TCP_QUERY_TIMEOUT;
	if (record_on() && client != NULL) {
		struct odr_timeval tv = tcpq_now();
		q->rec = record_query(diverted ? RECORD_DIVERTED_TCP : RECORD_TCP, client, &question,
		    &tv);
	}
	q->cache_bits = -1;
	stats_add(STATS_QUERIES_TCP, 1);
	if (qil_cache != NULL) {
		q->cache_bits = cache_query_bits(&parsed);
		if (tcpq_from_cache(q, msg, len, now))
			return q;
	}
	if (!tcpq_start(q))
		tcpq_servfail(q);
	return q;
}

void
tcp_query_tick(struct tcp_query *q, double now)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	if (q->done)
		return;
	bool held = q->kept_kind == TCPQ_KEPT_FAILURE || q->kept_kind == TCPQ_KEPT_ANSWER;
	if (held && now - q->kept_at > HOLD_DELAY) {
		tcpq_finish_kept(q);
		return;
	}
	if (now < q->deadline)
		return;
	if (q->kept_kind == TCPQ_KEPT_TRUNCATED) {
		tcpq_finish(q, q->kept.data(), q->kept.size());
		return;
	}
	vtc_limit_log(&q->env->lim_timeout, vl,
	    "QILEC_00828: No usable answer over TCP within %.0f s for ID %u; SERVFAIL.",
	    TCP_QUERY_TIMEOUT, (unsigned)q->id);
	tcpq_servfail(q);
}

void
tcp_query_env_flush_logs(struct tcp_query_env *env, double now)
{
	CHECK_OBJ_NOTNULL(env, TCP_QUERY_ENV_MAGIC);
	for (auto *lim : {&env->lim_connect, &env->lim_answer, &env->lim_timeout,
	    &env->lim_stranger, &env->lim_dgram, &env->lim_dgram_sock, &env->lim_too_long,
	    &env->lim_tls})
		vtc_limit_flush(lim, vl, now);
}

double
tcp_query_next(const struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	if (q->done)
		return HUGE_VAL;
	bool held = q->kept_kind == TCPQ_KEPT_FAILURE || q->kept_kind == TCPQ_KEPT_ANSWER;
	/* Just past the hold, which is compared as "more than". */
	return held ? std::min(q->deadline, q->kept_at + HOLD_DELAY + 0.001) : q->deadline;
}

bool
tcp_query_done(const struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	return q->done;
}

void
tcp_query_delete(struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	for (auto &u : q->ups)
		tcpq_upstream_close(u.get());
	tcpq_datagrams_close(q);
	tcpq_tls_close(q);
	q->magic = 0;
	delete q;
}
