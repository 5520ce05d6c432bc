/*
 * dot_conn.cc -- one TLS server's connection, non-blocking throughout: the
 * TCP connect, the handshake with the certificate checked against the
 * server's name, the writes of the queued queries in records of up to
 * 16 KB, and the reads cut back into messages. Every failure closes the
 * connection with one rate-limited line saying why; the other servers are
 * not concerned.
 *
 * TLS thread only.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include <gnutls/x509.h>

#include "common/qildnsc.h"
#include "common/stats.h"
#include "dot/dot_conn.h"
#include "vdns.h"
#include "vss.h"
#include "vtc_log.h"

/* Bytes read or written in one call. */
#define DOT_IO_CHUNK 16384

struct dot_conn *
dot_conn_new(int server, gnutls_certificate_credentials_t cred, const int *owner_fd,
             struct vtc_limit *lines)
{
	auto *c = static_cast<struct dot_conn *>(calloc(1, sizeof(struct dot_conn)));
	AN(c);
	c->magic = DOT_CONN_MAGIC;
	c->server = server;
	c->us = &upstreams.upstream_servers[server];
	c->cred = cred;
	c->owner_fd = owner_fd;
	c->lines = lines;
	c->fd = -1;
	c->state = DOT_IDLE;
	c->backoff = DOT_BACKOFF_MIN;
	c->idle = DOT_IDLE_SECONDS;
	c->due = HUGE_VAL;
	c->out = static_cast<uint8_t *>(malloc(DOT_OUT_MAX));
	AN(c->out);
	dot_reader_init(&c->rd);
	return c;
}

/* Closes the socket and the session; the queries stay. */
static void
conn_shut(struct dot_conn *c)
{
	if (c->sess != NULL) {
		gnutls_deinit(c->sess);
		c->sess = NULL;
	}
	if (c->fd >= 0)
		(void)close(c->fd);
	c->fd = -1;
	c->out_len = c->out_off = c->sending = 0;
	dot_reader_init(&c->rd);
	c->state = DOT_IDLE;
	c->idle = DOT_IDLE_SECONDS;
	c->answers = c->strays = 0;
	c->last_answer = c->partial_since = 0;
}

/* Closes the connection; the queries in flight are lost (their askers
 * have other servers, and their clients ask again). */
static void
conn_close(struct dot_conn *c)
{
	conn_shut(c);
	for (auto &s : c->slots)
		s.used = false;
	c->inflight = 0;
	c->due = HUGE_VAL;
}

/* Queues again the queries in flight that were sent once; the others are
 * dropped. The number dropped. */
static int
conn_requeue(struct dot_conn *c)
{
	int dropped = 0;
	c->inflight = 0;
	for (auto &s : c->slots) {
		if (!s.used)
			continue;
		if (s.retried || s.qlen == 0 || c->out_len + s.qlen > DOT_OUT_MAX) {
			s.used = false;
			dropped++;
			continue;
		}
		s.retried = true;
		memcpy(c->out + c->out_len, s.q, s.qlen);
		c->out_len += s.qlen;
		c->inflight++;
	}
	return dropped;
}

void
dot_conn_delete(struct dot_conn *c)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	conn_close(c);
	gnutls_free(c->resume.data);
	free(c->out);
	c->magic = 0;
	free(c);
}

/* A failure: the line of its kind with the reason, the counter, the
 * connection closed and the pause before the next try. */
static void
conn_fail(struct dot_conn *c, enum dot_line line, enum stats_counter ctr, double now,
          const char *code, const char *what, const char *why)
{
	char a[INET6_ADDRSTRLEN + 16];
	(void)VSS_addr_text(&c->us->addr, (socklen_t)c->us->addrlen, a, sizeof a);
	vtc_limit_logat(&c->lines[line], vl, now,
	    "%s: DNS over TLS server %s (%s): %s: %s; next try in %.0f s.", code, a,
	    c->us->tls_name, what, why, c->backoff);
	stats_add(ctr, 1);
	conn_close(c);
	c->state = DOT_BACKOFF;
	c->retry_at = now + c->backoff;
	c->backoff = std::min(c->backoff * 2, DOT_BACKOFF_MAX);
}

/* True when `name` is an address, which SNI must not carry. */
static bool
conn_name_is_address(const char *name)
{
	struct in6_addr a6;
	return inet_pton(AF_INET, name, &a6) == 1 || inet_pton(AF_INET6, name, &a6) == 1;
}

/* The TCP connect begun; false when it failed at once (logged). */
static bool
conn_open(struct dot_conn *c, double now)
{
	c->fd = socket(c->us->addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (c->fd < 0) {
		conn_fail(c, DOT_LINE_UNREACHABLE, STATS_TLS_UNREACHABLE, now, "QILEC_01025",
		    "socket(2)", strerror(errno));
		return false;
	}
	int one = 1;
	(void)setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	c->since = now;
	c->state = DOT_CONNECTING;
	if (connect(c->fd, reinterpret_cast<const struct sockaddr *>(&c->us->addr),
	    (socklen_t)c->us->addrlen) == 0 || errno == EINPROGRESS)
		return true;
	conn_fail(c, DOT_LINE_UNREACHABLE, STATS_TLS_UNREACHABLE, now, "QILEC_01025",
	    "cannot connect", strerror(errno));
	return false;
}

/* The session over the connected socket, the handshake next. */
static bool
conn_session(struct dot_conn *c, double now)
{
	const char *name = c->us->tls_name;
	int r = gnutls_init(&c->sess, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
	if (r == GNUTLS_E_SUCCESS)
		r = gnutls_set_default_priority(c->sess);
	if (r == GNUTLS_E_SUCCESS)
		r = gnutls_credentials_set(c->sess, GNUTLS_CRD_CERTIFICATE, c->cred);
	if (r == GNUTLS_E_SUCCESS && !conn_name_is_address(name))
		r = gnutls_server_name_set(c->sess, GNUTLS_NAME_DNS, name, strlen(name));
	if (r != GNUTLS_E_SUCCESS) {
		conn_fail(c, DOT_LINE_UNREACHABLE, STATS_TLS_UNREACHABLE, now, "QILEC_01026",
		    "TLS session", gnutls_strerror(r));
		return false;
	}
	if (!(c->us->flags & UPSTREAM_TLS_INSECURE))
		gnutls_session_set_verify_cert(c->sess, name, 0);
	if (c->resume.data != NULL)
		(void)gnutls_session_set_data(c->sess, c->resume.data, c->resume.size);
	gnutls_transport_set_int(c->sess, c->fd);
	c->state = DOT_HANDSHAKE;
	c->since = now;
	return true;
}

/* The certificate's fault in words. */
static void
conn_cert_fail(struct dot_conn *c, double now)
{
	gnutls_datum_t out = {};
	unsigned status = gnutls_session_get_verify_cert_status(c->sess);
	gnutls_certificate_type_t type = gnutls_certificate_type_get(c->sess);
	if (gnutls_certificate_verification_status_print(status, type, &out, 0) < 0)
		out.data = NULL;
	char why[512];
	(void)snprintf(why, sizeof why, "%s", out.data != NULL ?
	    reinterpret_cast<const char *>(out.data) : "the certificate does not verify");
	gnutls_free(out.data);
	/* The library's text ends in ". "; the line adds its own. */
	size_t l = strlen(why);
	while (l > 0 && (why[l - 1] == ' ' || why[l - 1] == '.'))
		why[--l] = '\0';
	conn_fail(c, DOT_LINE_CERT, STATS_TLS_CERT, now, "QILEC_01027",
	    "certificate refused", why);
}

static void conn_write(struct dot_conn *c, double now);
static void conn_quickack(struct dot_conn *c);

static void
conn_handshake(struct dot_conn *c, double now)
{
	conn_quickack(c);
	int r = gnutls_handshake(c->sess);
	if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED)
		return;
	if (r == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
		conn_cert_fail(c, now);
		return;
	}
	if (r < 0) {
		conn_fail(c, DOT_LINE_UNREACHABLE, STATS_TLS_UNREACHABLE, now, "QILEC_01028",
		    "handshake failed", gnutls_strerror(r));
		return;
	}
	c->state = DOT_READY;
	stats_add(STATS_TLS_CONNECTS, 1);
	if (gnutls_session_is_resumed(c->sess))
		stats_add(STATS_TLS_RESUMED, 1);
	if (c->us->flags & UPSTREAM_TLS_INSECURE)
		vtc_limit_logat(&c->lines[DOT_LINE_INSECURE], vl, now,
		    "[WARN] QILEC_01029: DNS over TLS server %s is used WITHOUT CHECKING ITS CERTIFICATE (#insecure): anyone on the path can read and forge its answers.",
		    c->us->tls_name);
	conn_write(c, now);
}

/* Keeps the session for the next connection: under TLS 1.3 the ticket
 * comes after the handshake, so it is taken again before closing. */
static void
conn_keep_session(struct dot_conn *c)
{
	gnutls_datum_t d = {};
	if (c->sess == NULL || c->state != DOT_READY)
		return;
	if (gnutls_session_get_data2(c->sess, &d) != GNUTLS_E_SUCCESS)
		return;
	gnutls_free(c->resume.data);
	c->resume = d;
}

/* A connection that ended without fault (the server closed it, or it was
 * idle): the next query opens a new one at once. */
static void
conn_end(struct dot_conn *c)
{
	conn_keep_session(c);
	if (c->sess != NULL && c->state == DOT_READY)
		(void)gnutls_bye(c->sess, GNUTLS_SHUT_WR);
	conn_close(c);
}

/* A connection lost while in use: its queries in flight go once more on a
 * new one, opened at once (the server was reachable); those sent twice
 * already are lost, and logged. A connection that answered nothing is a
 * failure instead: opened again at once, it would be opened for every
 * query. */
static void
conn_lost(struct dot_conn *c, double now, const char *why)
{
	if (c->answers == 0) {
		conn_fail(c, DOT_LINE_UNANSWERED, STATS_TLS_GIVEN_UP, now, "QILEC_01080",
		    "connection ended before any answer", why);
		return;
	}
	conn_keep_session(c);
	conn_shut(c);
	int dropped = conn_requeue(c);
	if (dropped > 0)
		vtc_limit_logat(&c->lines[DOT_LINE_LOST], vl, now,
		    "QILEC_01030: DNS over TLS server %s: connection lost with %d queries in flight: %s",
		    c->us->tls_name, dropped, why);
	if (c->inflight > 0)
		(void)conn_open(c, now);
}

static void
conn_write(struct dot_conn *c, double now)
{
	while (c->state == DOT_READY && c->out_off < c->out_len) {
		size_t n = c->sending != 0 ? c->sending :
		    std::min<size_t>(c->out_len - c->out_off, DOT_IO_CHUNK);
		ssize_t r = gnutls_record_send(c->sess, c->out + c->out_off, n);
		if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) {
			c->sending = n;
			return;
		}
		if (r < 0) {
			conn_lost(c, now, gnutls_strerror((int)r));
			return;
		}
		c->sending = 0;
		c->out_off += (size_t)r;
	}
	if (c->out_off == c->out_len)
		c->out_off = c->out_len = 0;
}

static void
conn_take(void *priv, uint8_t *msg, size_t len)
{
	struct dot_conn *c;
	CAST_OBJ_NOTNULL(c, priv, DOT_CONN_MAGIC);
	dot_conn_take(c, msg, len, c->read_at);
	c->partial_since = 0;
}

/*
 * Acknowledges what was read at once. A server that writes small pieces
 * with Nagle's algorithm on (a session ticket, then an answer) sends the
 * second only once the first is acknowledged; delayed, the ACK would ride
 * on our next query, and every answer would wait for the next query.
 * Linux forgets the setting after a while, so it is set on every read.
 */
static void
conn_quickack(struct dot_conn *c)
{
	int one = 1;
	(void)setsockopt(c->fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

static void
conn_read(struct dot_conn *c, double now)
{
	uint8_t buf[DOT_IO_CHUNK];

	c->read_at = now;
	conn_quickack(c);
	/* Until the session has nothing more: what it holds decrypted
	 * would wake no poll. */
	for (int i = 0; i < 64 && c->state == DOT_READY; i++) {
		ssize_t r = gnutls_record_recv(c->sess, buf, sizeof buf);
		if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED)
			return;
		if (r == 0 || r == GNUTLS_E_PREMATURE_TERMINATION) {
			if (c->inflight > 0)
				conn_lost(c, now, "closed by the server");
			else
				conn_end(c);
			return;
		}
		if (r < 0) {
			if (gnutls_error_is_fatal((int)r) == 0)
				continue;
			conn_lost(c, now, gnutls_strerror((int)r));
			return;
		}
		dot_reader_feed(&c->rd, buf, (size_t)r, conn_take, c);
		if (c->rd.have > 0 && c->partial_since == 0)
			c->partial_since = now;
		if (c->strays >= DOT_STRAYS_MAX) {
			char why[96];
			(void)snprintf(why, sizeof why,
			    "%u answers in a row under IDs of no query in flight", c->strays);
			conn_fail(c, DOT_LINE_STRAYS, STATS_TLS_GIVEN_UP, now, "QILEC_01082",
			    "answers to no query", why);
			return;
		}
	}
}

/* A free slot for a query, or NULL. */
static struct dot_slot *
conn_slot_new(struct dot_conn *c)
{
	if (c->inflight >= DOT_SLOTS)
		return NULL;
	for (int i = 0; i < DOT_SLOTS; i++) {
		c->gen++;
		struct dot_slot *s = &c->slots[c->gen % DOT_SLOTS];
		if (!s->used) {
			/* The ID's high bits turn with each use, so that a late
			 * answer to a freed slot's query is no answer to the next. */
			s->wire_id = (uint16_t)(c->gen % DOT_SLOTS +
			    DOT_SLOTS * ((c->gen / DOT_SLOTS) % (65536 / DOT_SLOTS)));
			s->used = true;
			c->inflight++;
			return s;
		}
	}
	return NULL;
}

void
dot_conn_query(struct dot_conn *c, int owner, const uint8_t *q, size_t len, double now)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	if (c->state == DOT_BACKOFF && now < c->retry_at) {
		stats_add(STATS_TLS_DROPPED, 1);
		return;
	}
	if (c->state == DOT_BACKOFF)
		c->state = DOT_IDLE;
	if (len < VDNS_HEADER_SIZE)
		return;
	/* What was written makes room, unless a record is half sent: the
	 * library then wants the same bytes again. */
	if (c->sending == 0 && c->out_off > 0) {
		memmove(c->out, c->out + c->out_off, c->out_len - c->out_off);
		c->out_len -= c->out_off;
		c->out_off = 0;
	}
	struct dot_slot *s = conn_slot_new(c);
	if (s == NULL || DOT_OUT_MAX - c->out_len < len + 2 + 2 * DOT_PAD_BLOCK) {
		if (s != NULL)
			(void)dot_conn_slot(c, s->wire_id);
		vtc_limit_logat(&c->lines[DOT_LINE_FULL], vl, now,
		    "QILEC_01031: DNS over TLS server %s: %d queries waiting already; query dropped.",
		    c->us->tls_name, c->inflight);
		stats_add(STATS_TLS_DROPPED, 1);
		return;
	}
	int n = dot_frame_query(q, len, s->wire_id, c->out + c->out_len, DOT_OUT_MAX - c->out_len);
	if (n < 0) {
		(void)dot_conn_slot(c, s->wire_id);
		return;
	}
	s->owner = (uint8_t)owner;
	s->ask_id = (uint16_t)(q[0] << 8 | q[1]);
	s->deadline = now + DOT_QUERY_SECONDS;
	c->due = std::min(c->due, s->deadline);
	s->retried = false;
	s->qlen = (uint16_t)((size_t)n <= sizeof s->q ? n : 0);
	memcpy(s->q, c->out + c->out_len, s->qlen);
	c->out_len += (size_t)n;
	c->last_used = now;
	if (c->state == DOT_IDLE && !conn_open(c, now))
		return;
	if (c->state == DOT_READY && c->sending == 0)
		conn_write(c, now);
}

short
dot_conn_events(const struct dot_conn *c)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	switch (c->state) {
	case DOT_CONNECTING:
		return POLLOUT;
	case DOT_HANDSHAKE:
		return gnutls_record_get_direction(c->sess) ? POLLOUT : POLLIN;
	case DOT_READY:
		return (short)(POLLIN | (c->out_off < c->out_len ? POLLOUT : 0));
	default:
		return 0;
	}
}

void
dot_conn_ready(struct dot_conn *c, short revents, double now)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	if (c->state == DOT_CONNECTING) {
		int err = 0;
		socklen_t l = sizeof err;
		if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0)
			err = errno;
		if (err != 0) {
			conn_fail(c, DOT_LINE_UNREACHABLE, STATS_TLS_UNREACHABLE, now,
			    "QILEC_01025", "cannot connect", strerror(err));
			return;
		}
		if (!conn_session(c, now))
			return;
	}
	if (c->state == DOT_HANDSHAKE) {
		conn_handshake(c, now);
		return;
	}
	if (c->state != DOT_READY)
		return;
	if (revents & (POLLIN | POLLHUP | POLLERR))
		conn_read(c, now);
	if (revents & POLLOUT)
		conn_write(c, now);
}

void
dot_conn_tick(struct dot_conn *c, double now)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	if ((c->state == DOT_CONNECTING || c->state == DOT_HANDSHAKE) &&
	    now - c->since > DOT_HANDSHAKE_SECONDS) {
		conn_fail(c, DOT_LINE_STALLED, STATS_TLS_STALLED, now, "QILEC_01032",
		    c->state == DOT_CONNECTING ? "connect stalled" : "handshake stalled",
		    "no progress in 3 s");
		return;
	}
	if (c->state != DOT_READY)
		return;
	/* A server that trickles an answer keeps the connection readable
	 * and every query on it waiting. */
	if (c->partial_since > 0 && now - c->partial_since > DOT_ANSWER_SECONDS) {
		conn_fail(c, DOT_LINE_SLOW, STATS_TLS_GIVEN_UP, now, "QILEC_01081",
		    "answer stalled", "no whole answer 3 s after its first byte");
		return;
	}
	if (now >= c->due) {
		bool stale = false;
		c->due = HUGE_VAL;
		for (auto &s : c->slots) {
			if (!s.used)
				continue;
			if (s.deadline > now) {
				c->due = std::min(c->due, s.deadline);
				continue;
			}
			stale = stale || c->last_answer < s.deadline - DOT_QUERY_SECONDS;
			s.used = false;
			c->inflight--;
			stats_add(STATS_TLS_TIMEOUT, 1);
		}
		/* A query unanswered in its time with no answer since it left:
		 * the connection is dead, or reads what answers nothing. */
		if (stale) {
			conn_lost(c, now, "no answer in 5 s");
			return;
		}
	}
	if (c->inflight == 0 && c->out_len == 0 && now - c->last_used > c->idle)
		conn_end(c);
}

double
dot_conn_deadline(const struct dot_conn *c)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	switch (c->state) {
	case DOT_CONNECTING:
	case DOT_HANDSHAKE:
		return c->since + DOT_HANDSHAKE_SECONDS;
	case DOT_READY: {
		double t = c->due;
		if (c->partial_since > 0)
			t = std::min(t, c->partial_since + DOT_ANSWER_SECONDS);
		if (c->inflight == 0 && c->out_len == 0)
			t = std::min(t, c->last_used + c->idle);
		return t;
	}
	default:
		return HUGE_VAL;
	}
}
