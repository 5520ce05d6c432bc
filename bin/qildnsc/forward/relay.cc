/*
 * relay.cc -- DNS_remote(): one answer from the upstream socket, matched to
 * its pending query, unwrapped when its server is encrypted, judged by the
 * filter and relayed at once, held for HOLD_DELAY, or dropped.
 *
 * Event-loop thread only. Nothing allocates: the answer is judged in the
 * receive buffer, and a held one is copied into the held pool.
 */
#include <stdio.h>
#include <string.h>

#include <array>

#include "cache/cache.h"
#include "common/qildnsc.h"
#include "common/stats.h"
#include "dot/dot.h"
#include "forward/edns.h"
#include "forward/filter.h"
#include "forward/held.h"
#include "forward/pending.h"
#include "forward/relay.h"
#include "qca_frame.h"
#include "record/record.h"
#include "servers/servers.h"
#include "vss.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtim.h"

/*
 * Lines that anyone who can reach an upstream socket can cause, each kind
 * at most VTC_LIMIT_BURST a second. Lines of one cause share a kind, so
 * that a flood costs the log a few lines a second per cause: the bad
 * frames, and the answers to no query in flight (unknown ID, another
 * socket, another question).
 */
enum relay_line {
	RELAY_RECV,
	RELAY_EOF,
	RELAY_STRANGER,
	RELAY_FRAME,
	RELAY_PARSE,
	RELAY_NO_QUERY,
	RELAY_TOO_BIG,
	RELAY_LINES
};
static std::array<struct vtc_limit, RELAY_LINES> relay_limits = {{
    VTC_LIMIT_INIT("QILEC_00699: remote: recvfrom(2) error", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_00700: recvfrom(2) EOF", VTCLOG_ERROR),
    VTC_LIMIT_INIT("[WARN] Dropped a datagram: not an upstream server", VTCLOG_WARN),
    VTC_LIMIT_INIT("[WARN] Bad encryptioin block", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_00701: remote: Failed to parse DNS response.", VTCLOG_ERROR),
    VTC_LIMIT_INIT("[WARN] DNS response to no query in flight", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_00885: DNS response too large for its client", VTCLOG_WARN),
}};

#define RELAY_LOG(line, now, ...) \
	vtc_limit_logat(&relay_limits[(line)], vl, (now), __VA_ARGS__)

void
relay_log_flush(double now)
{
	for (auto &lim : relay_limits)
		vtc_limit_flush(&lim, vl, now);
}

/* Unwraps an encrypted frame in place; false (logged) when it is refused. */
static bool
relay_unframe(uint8_t *buf, ssize_t *n, double now)
{
	size_t l;

	switch (QCA_unframe(&upstreams.upstream_key, buf, (size_t)*n, &l)) {
	case QCA_UNFRAME_OK:
		*n = (ssize_t)l;
		return true;
	case QCA_UNFRAME_WRONG_LENGTH:
		RELAY_LOG(RELAY_FRAME, now, "[WARN] Wrong length for encryptioin block %zd.",
		    *n);
		return false;
	case QCA_UNFRAME_TOO_LONG:
		RELAY_LOG(RELAY_FRAME, now,
		    "[WARN] Too long length for encryptioin block %d %d.",
		    (int)*n, (int)l);
		return false;
	case QCA_UNFRAME_SHORT:
		RELAY_LOG(RELAY_FRAME, now,
		    "[WARN] Length %d exceeds the encryptioin block of %zd bytes.", (int)l,
		    *n - 2);
		return false;
	}
	return false;
}

/*
 * The upstream server that sent `d`, with an encrypted frame unwrapped in
 * place (d->n becomes the message's length); NULL (logged) for a failed
 * receive, an empty datagram, a stranger or a refused frame.
 */
static const struct upstream_server *
relay_sender(struct sock_dgram *d, double secs)
{
	if (d->n == -1) {
		if (!sock_recv_quiet(d->err)) {
			ODR_setSockError(d->err); /* the text of the receive's own error */
			RELAY_LOG(RELAY_RECV, secs, "QILEC_00699: remote: recvfrom(2) error: %d %s",
			    d->err, ODR_sockErrorText());
		}
		return NULL;
	}
	if (d->n == 0) {
		RELAY_LOG(RELAY_EOF, secs, "QILEC_00700: recvfrom(2) EOF");
		return NULL;
	}
	const struct upstream_server *us = find_upstream_server(d->from, d->fromlen);
	if (us == NULL) {
		char a[INET6_ADDRSTRLEN + 16];
		RELAY_LOG(RELAY_STRANGER, secs, "[WARN] Dropped a datagram from %s: not an upstream server.",
		    VSS_addr_text(d->from, sizeof *d->from, a, sizeof a));
		return NULL;
	}
	if ((us->flags & UPSTREAM_ENCRYPTED) && d->n > QCA_FRAME_MAXSIZE) {
		/* What the frame's own receive buffer would have refused. */
		ODR_setSockError(ODR_EMSGSIZE);
		RELAY_LOG(RELAY_RECV, secs, "QILEC_00699: remote: recvfrom(2) error: %d %s",
		    ODR_EMSGSIZE, ODR_sockErrorText());
		return NULL;
	}
	if ((us->flags & UPSTREAM_ENCRYPTED) && !relay_unframe(d->buf, &d->n, secs))
		return NULL;
	return us;
}

/*
 * The pending query that the answer of `n` bytes in `buf` answers, with
 * `msg` parsed: the answer came from server number `server` of `family`,
 * on upstream socket number `sock` (-1: through the TLS thread, which took
 * it only from the connection its query went on). NULL (logged) when it
 * answers none or does not parse.
 */
static const struct pending_query *
relay_match(uint8_t *buf, ssize_t n, int sock, int server, int family, struct vdns_msg *msg,
            const struct odr_timeval *now)
{
	double secs = VTIM_tv(now);
	struct vdns_question question;

	if (n < VDNS_HEADER_SIZE) {
		RELAY_LOG(RELAY_PARSE, secs, "QILEC_00701: remote: Failed to parse DNS response.");
		return NULL;
	}
	/* The ID first: a flood of answers to nothing costs no parse. */
	uint16_t id = (uint16_t)(buf[0] << 8 | buf[1]);
	const struct pending_query *pq = find_pending(id);
	/* A never-used slot (no client address, and no refresh of the cache)
	 * answers nobody, and only the socket a query left from takes its
	 * answers. */
	if (pq == NULL || (pq->client_addrlen == 0 && !pq->refresh) ||
	    (sock >= 0 && !sock_upstream_match(sock, family, pq->sock))) {
		RELAY_LOG(RELAY_NO_QUERY, secs, "[WARN] Unexpected DNS response for ID %d", (int)id);
		stats_add(STATS_UNMATCHED, 1);
		return NULL;
	}
	if (VDNS_initparse(buf, (size_t)n, msg) < 0 ||
	    VDNS_question_read(msg, &question) < 0) {
		RELAY_LOG(RELAY_PARSE, secs, "QILEC_00701: remote: Failed to parse DNS response.");
		return NULL;
	}
	/* A server may refuse a query it cannot read (FORMERR, NOTIMP) without
	 * repeating its question: ID, server and socket have matched, and the
	 * failure is judged like an empty answer. */
	if (!(msg->flags & VDNS_QR) ||
	    (!filter_bare_failure(msg) && !VDNS_question_equal(&pq->question, &question))) {
		RELAY_LOG(RELAY_NO_QUERY, secs,
		    "[WARN] DNS response for ID %d does not answer its query; dropped.", (int)id);
		stats_add(STATS_UNMATCHED, 1);
		record_answer(pq->rec, server, buf, (size_t)n, RECORD_UNMATCHED, NULL, now);
		return NULL;
	}
	return pq;
}

/*
 * The answer `buf` of `*n` bytes as the client of `pq` can take it over
 * UDP: as it is, or, when larger, its truncated form (question only, TC
 * set) in `small`, so that the client asks again over TCP; NULL (logged)
 * when even that form is larger than `smallsize`, the least any client
 * takes.
 */
static const uint8_t *
relay_fit(const struct pending_query *pq, const uint8_t *buf, ssize_t *n, uint8_t *small,
          size_t smallsize, double secs)
{
	if (*n <= pq->client_max)
		return buf;
	int len = VDNS_truncated(buf, (size_t)*n, small, smallsize);
	if (len < 0) {
		RELAY_LOG(RELAY_TOO_BIG, secs,
		    "QILEC_00885: DNS response for ID %d is too large for its client even without records; dropped.",
		    (int)pq->id);
		return NULL;
	}
	*n = len;
	stats_add(STATS_TRUNCATED, 1);
	return small;
}

/* Counts and records an answer (`buf`, `len`) that comes after its client
 * had one: one query gets one answer, and a second could say otherwise. */
static void
relay_late(const struct pending_query *pq, int server, const uint8_t *buf, ssize_t len,
           const struct odr_timeval *now)
{
	stats_add(STATS_LATE, 1);
	record_answer(pq->rec, server, buf, (size_t)len, RECORD_LATE, NULL, now);
}

/* Relays `out` (`n` bytes; `buf`, `len` as the server sent it) to the
 * client of `pq` at once, unless it has had an answer already. The cache
 * keeps what the client took, its first answer, stored under `cache_bits`
 * as `origin`; a refresh of the cache's has no client, and each of its
 * answers is offered to the cache, which keeps a verified one over the
 * rest. */
static void
relay_send(const struct pending_query *pq, int server, const uint8_t *buf, ssize_t len,
           const uint8_t *out, ssize_t n, int cache_bits, enum cache_origin origin,
           const struct odr_timeval *now)
{
	bool first = pq->refresh || pending_first_answer(pq->id);
	/* A client that had our stopgap takes this answer at its next try. */
	if ((first || pq->stopgap) && cache_bits >= 0)
		(void)cache_store(qil_cache, buf, (size_t)len, (uint8_t)cache_bits, origin,
		    VTIM_tv(now));
	if (pq->refresh)
		return;
	if (!first)
		return relay_late(pq, server, buf, len, now);
	sock_send(sock_local_fd(pq->client_addr.ss_family), out, (size_t)n, &pq->client_addr,
	    pq->client_addrlen, "QILEC_00702");
	stats_add(STATS_RELAYED, 1);
	stats_server_win(server);
	if (pq->rec != 0) {
		record_answer(pq->rec, server, buf, (size_t)len, RECORD_RELAYED, NULL, now);
		record_outcome(pq->rec, RECORD_ANSWERED, now);
	}
}

/* Holds `out` (`n` bytes) for the client of `pq`, as relay_send(); the
 * cache keeps it only if it is released to the client, which has had no
 * answer by then. */
static void
relay_hold(const struct pending_query *pq, int server, const uint8_t *buf, ssize_t len,
           const uint8_t *out, ssize_t n, int cache_bits, const struct odr_timeval *now)
{
	if (pq->answered && !pq->stopgap)
		return relay_late(pq, server, buf, len, now);
	int was = hold_answer_at(now, pq->id, out, (int32_t)n, &pq->client_addr,
	    pq->client_addrlen, server, cache_bits);
	pending_held(pq->id);
	stats_add(STATS_HELD, 1);
	if (pq->rec != 0) {
		if (was >= 0)
			record_held_end(pq->rec, was, RECORD_HELD_REPLACED);
		record_answer(pq->rec, server, buf, (size_t)len,
		    was == HOLD_KEPT_OUT ? RECORD_KEPT_OUT : RECORD_HELD, NULL, now);
	}
}

/*
 * The answer `buf` of `len` bytes to `pq` from `us`, `msg` parsed: under
 * the client's ID, judged and relayed, held or dropped. An answer that
 * came over a verified TLS connection (`verified`) cannot have been forged
 * on the path, so nothing is gained by holding it for a better one; a
 * server's failure (SERVFAIL, REFUSED) is still held, so that another
 * server's answer can take its place.
 */
static void
relay_judged(const struct pending_query *pq, const struct upstream_server *us, uint8_t *buf,
             ssize_t len, struct vdns_msg *msg, bool verified, const struct odr_timeval *now)
{
	uint16_t wire_id = htons(pq->orig_id);
	memcpy(buf, &wire_id, sizeof wire_id);
	int server = (int)(us - upstreams.upstream_servers);
	stats_server_answer(server, elapsed_usec(&pq->sent, now));

	uint8_t small[EDNS_CLASSIC_SIZE];
	ssize_t n = len;
	const uint8_t *out = relay_fit(pq, buf, &n, small, sizeof small, VTIM_tv(now));
	if (out == NULL) {
		record_answer(pq->rec, server, buf, (size_t)len, RECORD_TOO_BIG, NULL, now);
		return;
	}
	/* A truncated answer has nothing to judge (its records come over
	 * TCP), nor has a failure without a question, which waits like an
	 * empty answer for a real one to overtake it. */
	enum filter_verdict v = FILTER_RELAY;
	struct filter_why why = {};
	if (filter_bare_failure(msg))
		v = FILTER_HOLD;
	else if (!(msg->flags & VDNS_TC))
		v = filter_judge(msg, &us->addr, &why);
	if (v == FILTER_HOLD && verified && filter_is_answer(msg))
		v = FILTER_RELAY;
	/* What the client gets is what the cache keeps: whole, under the
	 * query's own key bits (a truncated form is not stored). */
	int cache_bits = qil_cache != NULL ? pq->cache_bits : -1;
	switch (v) {
	case FILTER_RELAY:
		return relay_send(pq, server, buf, len, out, n, cache_bits,
		    verified ? CACHE_VERIFIED : CACHE_RELAYED, now);
	case FILTER_HOLD:
		return relay_hold(pq, server, buf, len, out, n, cache_bits, now);
	case FILTER_DROP:
		stats_add(why.cause == FILTER_CAUSE_BLOCKED ? STATS_DROPPED_BLOCKED :
		    STATS_DROPPED_ABROAD, 1);
		if (pq->rec != 0) {
			struct record_addr cause = {AF_INET, {}};
			memcpy(cause.a, &why.addr, sizeof why.addr);
			record_answer(pq->rec, server, buf, (size_t)len, why.cause ==
			    FILTER_CAUSE_BLOCKED ? RECORD_BLOCKED : RECORD_ABROAD, &cause, now);
		}
		return;
	}
	WRONG("filter_verdict");
}

void
DNS_remote(struct sock_dgram *d, int sock, const struct odr_timeval *now)
{
	struct vdns_msg msg;

	AN(d);
	const struct upstream_server *us = relay_sender(d, VTIM_tv(now));
	if (us == NULL)
		return;
	int server = (int)(us - upstreams.upstream_servers);
	const struct pending_query *pq = relay_match(d->buf, d->n, sock, server,
	    us->addr.ss_family, &msg, now);
	if (pq == NULL)
		return;
	relay_judged(pq, us, d->buf, d->n, &msg, false, now);
}

void
DNS_remote_tls(struct sock_dgram *d, const struct odr_timeval *now)
{
	struct vdns_msg msg;

	AN(d);
	/* The TLS thread's own datagrams: a failed receive is no answer. */
	if (d->n < DOT_HDR)
		return;
	int32_t server = d->buf[0] << 8 | d->buf[1];
	if (server >= upstreams.n_upstream_servers ||
	    !(upstreams.upstream_servers[server].flags & UPSTREAM_TLS))
		return;
	const struct upstream_server *us = &upstreams.upstream_servers[server];
	uint8_t *buf = d->buf + DOT_HDR;
	ssize_t n = d->n - DOT_HDR;
	const struct pending_query *pq = relay_match(buf, n, -1, server, us->addr.ss_family, &msg,
	    now);
	if (pq == NULL)
		return;
	relay_judged(pq, us, buf, n, &msg, !(us->flags & UPSTREAM_TLS_INSECURE), now);
}
