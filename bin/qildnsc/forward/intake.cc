/*
 * intake.cc -- DNS_local(): one client query from the listening socket,
 * checked, given an upstream ID of our own, remembered in the pending ring
 * and queued for every upstream server (framed and encrypted where marked).
 *
 * Event-loop thread only. No allocation and no system call per query:
 * fixed buffers, the pending ring, IDs from a block of random values.
 */
#include <string.h>

#include <array>

#include "cache/cache.h"
#include "dot/dot.h"
#include "forward/edns.h"
#include "forward/intake.h"
#include "forward/pending.h"
#include "odr_random.h"
#include "record/record.h"
#include "qca_frame.h"
#include "common/qildnsc.h"
#include "common/stats.h"
#include "servers/servers.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtim.h"

/* Lines that anyone who can reach the listening socket can cause, and the
 * failed ID draw: each kind at most VTC_LIMIT_BURST a second. */
enum intake_line { INTAKE_RECV, INTAKE_EOF, INTAKE_PARSE, INTAKE_TOO_LONG, INTAKE_NO_ID,
	INTAKE_BURST, INTAKE_LINES };
static std::array<struct vtc_limit, INTAKE_LINES> intake_limits = {{
    VTC_LIMIT_INIT("QILEC_00692: local: recvfrom(2) error", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_00694: recvfrom(2) EOF", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_00695: Failed to parse DNS request.", VTCLOG_ERROR),
    VTC_LIMIT_INIT("[WARN] Query too long for encrypted servers", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_00880: No fresh upstream ID", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_01060: Pending queries overrun", VTCLOG_WARN),
}};

#define INTAKE_LOG(line, ...) \
	vtc_limit_log(&intake_limits[(line)], vl, __VA_ARGS__)

void
intake_log_flush(double now)
{
	for (auto &lim : intake_limits)
		vtc_limit_flush(&lim, vl, now);
}

/* Queues the query for TLS server number `server`: a datagram on the TLS
 * thread's channel, the server's number before the query. */
static void
intake_tls(const uint8_t *query, size_t len, int32_t server)
{
	uint8_t dg[DOT_CHANNEL_MAX];
	/* The channel has no address: a connected pair. */
	static const struct sockaddr_storage none = {};

	if (len + DOT_HDR > sizeof dg)
		return;
	dg[0] = (uint8_t)(server >> 8);
	dg[1] = (uint8_t)(server & 0xff);
	memcpy(dg + DOT_HDR, query, len);
	sock_send(dot_owner_fd(DOT_OWNER_LOOP), dg, len + DOT_HDR, &none, 0, "QILEC_01038");
}

/* Queues the query for every upstream server. */
static void
intake_forward(const uint8_t *query, size_t len, int sock)
{
	uint8_t frame[QCA_FRAME_MAXSIZE];
	bool warned = false;

	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		const struct upstream_server *us = &upstreams.upstream_servers[i];
		const uint8_t *out = query;
		size_t outlen = len;

		if (us->flags & UPSTREAM_TLS) {
			intake_tls(query, len, i);
			continue;
		}

		if (us->flags & UPSTREAM_ENCRYPTED) {
			int n = QCA_frame(&upstreams.upstream_key, query, len, frame, sizeof frame);
			if (n < 0) {
				if (!warned)
					INTAKE_LOG(INTAKE_TOO_LONG,
					    "[WARN] Query of %zu bytes is too long for encrypted servers; not sent to them.",
					    len);
				warned = true;
				continue;
			}
			out = frame;
			outlen = (size_t)n;
		}
		int fd = sock_upstream_fd(us->addr.ss_family, (unsigned)sock);
		/* Every server's family has its sockets once started. */
		QIL_ASSERT(fd >= 0);
		sock_send(fd, out, outlen, &us->addr, us->addrlen, "QILEC_00696");
	}
}

/* Adds `pq` to the pending ring; a query whose client still waited, pushed
 * out by it, is counted, and said once per burst. */
static void
intake_add_pending(const struct pending_query *pq)
{
	enum pending_add r = add_pending(pq);
	if (r == PENDING_ADDED)
		return;
	stats_add(STATS_PUSHED_OUT, 1);
	if (r == PENDING_BURST)
		INTAKE_LOG(INTAKE_BURST, "QILEC_01060: More queries at once than the %d pending "
		    "ones: the oldest unanswered are dropped, their clients ask again (%llu so far).",
		    PENDING_QUERIES_MAX, (unsigned long long)stats_get(STATS_PUSHED_OUT));
}

/* How a client's datagram came: in diversion mode, one from off the
 * loopback is an application's query to another server, turned to us. */
static enum record_transport
intake_transport(const struct sockaddr_storage *from)
{
	if (!dnsc_conf.use_windivert)
		return RECORD_UDP;
	if (from->ss_family == AF_INET) {
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(from);
		return (ntohl(sin->sin_addr.s_addr) >> 24) == 127 ? RECORD_UDP : RECORD_DIVERTED_UDP;
	}
	const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(from);
	return IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr) ? RECORD_UDP : RECORD_DIVERTED_UDP;
}

/* A reply from the cache announces what the listening socket takes. */
static_assert(CACHE_EDNS_SIZE == SOCK_DGRAM_MAX, "the cache's EDNS size");

/*
 * Answers the query in `d` from the cache when it holds a fresh answer:
 * true when it did. On a miss, notes in `pq` whether an expired answer
 * could serve if the servers stay silent.
 */
static bool
intake_from_cache(struct sock_dgram *d, struct pending_query *pq,
                  const struct odr_timeval *now)
{
	uint8_t out[SOCK_DGRAM_MAX], small[EDNS_CLASSIC_SIZE];
	bool stale = false;

	int n = cache_answer(qil_cache, d->buf, (size_t)d->n, &pq->question, pq->cache_bits,
	    VTIM_tv(now), out, sizeof out, &stale);
	pq->stale_ok = stale;
	if (n <= 0)
		return false;
	const uint8_t *reply = out;
	if (n > pq->client_max) {
		/* Larger than the client takes: it asks again over TCP. */
		n = VDNS_truncated(out, (size_t)n, small, sizeof small);
		if (n < 0)
			return false;
		reply = small;
	}
	sock_send(sock_local_fd(d->from->ss_family), reply, (size_t)n, d->from,
	    (int32_t)d->fromlen, "QILEC_00702");
	stats_add(STATS_QUERIES_UDP, 1);
	stats_add(STATS_CACHE_HITS, 1);
	return true;
}

void
intake_refresh(const struct odr_timeval *now)
{
	uint8_t q[VDNS_HEADER_SIZE + VDNS_MAXCDNAME + 4 + 11];
	struct vdns_msg msg;

	if (qil_cache == NULL)
		return;
	double secs = VTIM_tv(now);
	/* A few at a time: the cache's own limits keep them rare. */
	for (int i = 0; i < CACHE_REFRESH_INFLIGHT && cache_refresh_wait(qil_cache, secs) == 0;
	    i++) {
		struct pending_query pq = {};
		int32_t id = pending_new_id();
		if (id < 0)
			return;
		int n = cache_refresh_next(qil_cache, secs, (uint16_t)id, q, sizeof q);
		if (n <= 0 || VDNS_initparse(q, (size_t)n, &msg) < 0 ||
		    VDNS_question_read(&msg, &pq.question) < 0)
			return;
		pq.id = (uint16_t)id;
		pq.refresh = 1;
		pq.cache_bits = cache_query_bits(&msg);
		pq.client_max = SOCK_DGRAM_MAX;
		pq.sock = (uint8_t)(ODR_random(vl) % UPSTREAM_SOCKETS);
		pq.sent = *now;
		intake_add_pending(&pq);
		stats_add(STATS_REFRESHES, 1);
		intake_forward(q, (size_t)n, pq.sock);
	}
}

void
DNS_local(struct sock_dgram *d, const struct odr_timeval *now)
{
	struct pending_query pq = {};
	struct vdns_msg msg;

	if (d->n == -1) {
		if (!sock_recv_quiet(d->err))
			INTAKE_LOG(INTAKE_RECV, "QILEC_00692: local: recvfrom(2) error: %d",
			    d->err);
		return;
	}
	if (d->n == 0) {
		INTAKE_LOG(INTAKE_EOF, "QILEC_00694: recvfrom(2) EOF");
		return;
	}
	if (VDNS_initparse(d->buf, (size_t)d->n, &msg) < 0 ||
	    VDNS_question_read(&msg, &pq.question) < 0) {
		INTAKE_LOG(INTAKE_PARSE, "QILEC_00695: Failed to parse DNS request.");
		return;
	}
	pq.orig_id = msg.id;
	pq.flags = msg.flags;
	pq.client_max = edns_client_max(&msg, d->buf, SOCK_DGRAM_MAX);
	pq.cache_bits = cache_query_bits(&msg);
	if (qil_cache != NULL) {
		if (intake_from_cache(d, &pq, now)) {
			if (record_on())
				record_outcome(record_query(intake_transport(d->from), d->from,
				    &pq.question, now), RECORD_CACHED, now);
			return;
		}
	}
	int32_t id = pending_new_id();
	if (id < 0) {
		INTAKE_LOG(INTAKE_NO_ID,
		    "QILEC_00880: No fresh upstream ID after %d draws (is the random generator failing?); query dropped.",
		    PENDING_ID_DRAWS);
		return;
	}
	pq.id = (uint16_t)id;
	/* The upstream socket, at random too: a forger must guess its port
	 * as well as the ID. */
	pq.sock = (uint8_t)(ODR_random(vl) % UPSTREAM_SOCKETS);
	uint16_t wire_id = htons(pq.id);
	memcpy(d->buf, &wire_id, sizeof wire_id);
	pq.sent = *now;
	pq.client_addr = *d->from;
	pq.client_addrlen = (int32_t)d->fromlen;
	if (record_on())
		pq.rec = record_query(intake_transport(d->from), d->from, &pq.question, now);
	intake_add_pending(&pq);
	stats_add(STATS_QUERIES_UDP, 1);
	intake_forward(d->buf, (size_t)d->n, pq.sock);
}
