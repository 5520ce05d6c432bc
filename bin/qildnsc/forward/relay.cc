/*
 * relay.cc -- DNS_remote(): one answer from the upstream socket, matched to
 * its pending query, unwrapped when its server is encrypted, judged by the
 * filter and relayed at once, held for HOLD_DELAY, or dropped.
 *
 * Event-loop thread only. Nothing allocates: held answers live in a fixed
 * pool, found by ID through an index and queued in due order.
 */
#include <stdio.h>
#include <algorithm>
#include <stdlib.h>
#include <string.h>

#include <array>

#include "filter/filter.h"
#include "forward/intake.h"
#include "qca_frame.h"
#include "common/qildnsc.h"
#include "forward/relay.h"
#include "servers/servers.h"
#include "vtc_limit.h"
#include "vtc_log.h"

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
	RELAY_LINES
};
static std::array<struct vtc_limit, RELAY_LINES> relay_limits = {{
    VTC_LIMIT_INIT("QILEC_00699: remote: recvfrom(2) error", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_00700: recvfrom(2) EOF", VTCLOG_ERROR),
    VTC_LIMIT_INIT("[WARN] Dropped a datagram: not an upstream server", VTCLOG_WARN),
    VTC_LIMIT_INIT("[WARN] Bad encryptioin block", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_00701: remote: Failed to parse DNS response.", VTCLOG_ERROR),
    VTC_LIMIT_INIT("[WARN] DNS response to no query in flight", VTCLOG_WARN),
}};

#define RELAY_LOG(line, now, ...) \
	vtc_limit_logat(&relay_limits[(line)], vl, (now), __VA_ARGS__)

void
relay_log_flush(double now)
{
	for (auto &lim : relay_limits)
		vtc_limit_flush(&lim, vl, now);
}

/*
 * The pool: slots below `held_fresh` have been used; the free ones among
 * them are chained through `newer` from `held_free`, last freed first, so
 * that only as much of the pool is touched as is held at the busiest time.
 */
static std::array<struct held_answer, HELD_ANSWERS_SLOTS> held_answers;
static uint16_t held_oldest = HELD_NONE, held_newest = HELD_NONE;
static uint16_t held_free = HELD_NONE, held_fresh;
static int held_count;
/* The slot that last held each ID; it is that ID's answer only while it is
 * queued with that ID. */
static std::array<uint16_t, 65536> held_slot_of;

float
elapsed_seconds(const struct odr_timeval *earlier, const struct odr_timeval *later)
{
	int64_t sec = later->tv_sec - earlier->tv_sec;
	int32_t usec = later->tv_usec - earlier->tv_usec;
	return (float)sec + (float)usec / 1000000;
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
	return held_count;
}

static void
held_unlink(uint16_t i)
{
	struct held_answer *ha = &held_answers[i];

	if (ha->older != HELD_NONE)
		held_answers[ha->older].newer = ha->newer;
	else
		held_oldest = ha->newer;
	if (ha->newer != HELD_NONE)
		held_answers[ha->newer].older = ha->older;
	else
		held_newest = ha->older;
	ha->queued = 0;
	held_count--;
}

static void
held_append(uint16_t i)
{
	struct held_answer *ha = &held_answers[i];

	ha->older = held_newest;
	ha->newer = HELD_NONE;
	if (held_newest != HELD_NONE)
		held_answers[held_newest].newer = i;
	else
		held_oldest = i;
	held_newest = i;
	ha->queued = 1;
	held_count++;
}

static void
held_release_slot(uint16_t i)
{
	held_unlink(i);
	held_answers[i].newer = held_free;
	held_free = i;
}

/* A free slot; the pool must not be full. */
static uint16_t
held_take_slot(void)
{
	if (held_free != HELD_NONE) {
		uint16_t i = held_free;
		held_free = held_answers[i].newer;
		return i;
	}
	QIL_ASSERT(held_fresh < HELD_ANSWERS_SLOTS);
	return held_fresh++;
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

void
hold_answer_at(const struct odr_timeval *now, uint16_t id, const uint8_t *data,
               int32_t len, const struct sockaddr_storage *client_addr,
               int32_t client_addrlen)
{
	QIL_ASSERT(len >= 0 && (size_t)len <= sizeof held_answers[0].data);

	uint16_t i = held_slot_of[id];
	if (held_answers[i].queued && held_answers[i].id == id &&
	    held_same_query(&held_answers[i], data, len, client_addr, client_addrlen)) {
		/* A newer answer for the same query: it alone waits, from now. */
		held_unlink(i);
	} else {
		if (held_count == HELD_ANSWERS_SLOTS) {
			/* Full: the oldest answer goes, unsent. */
			held_release_slot(held_oldest);
		}
		i = held_take_slot();
	}
	struct held_answer *ha = &held_answers[i];
	ha->id = id;
	ha->stamp = *now;
	ha->len = len;
	memcpy(ha->data, data, (size_t)len);
	ha->client_addr = *client_addr;
	ha->client_addrlen = client_addrlen;
	held_append(i);
	held_slot_of[id] = i;
}

void
release_held_answers_at(const struct odr_timeval *now)
{
	while (held_oldest != HELD_NONE) {
		struct held_answer *ha = &held_answers[held_oldest];
		/* In due order: nothing behind an answer that is not due is. */
		if (!(elapsed_seconds(&ha->stamp, now) > HOLD_DELAY))
			break;
		sock_send(local_fd, ha->data, (size_t)ha->len, &ha->client_addr,
		    ha->client_addrlen, "QILEC_00697");
		held_release_slot(held_oldest);
	}
}

int
held_wait_ms(const struct odr_timeval *now, int longest_ms)
{
	if (held_oldest == HELD_NONE)
		return longest_ms;
	const struct odr_timeval *stamp = &held_answers[held_oldest].stamp;
	if (elapsed_seconds(stamp, now) > HOLD_DELAY)
		return 0;
	int64_t held_us = (now->tv_sec - stamp->tv_sec) * 1000000 + (now->tv_usec - stamp->tv_usec);
	int64_t left_us = (int64_t)(HOLD_DELAY * 1e6f + 0.5f) - held_us;
	/* Rounded up, so that the wait never ends before the answer is due. */
	int64_t ms = (left_us < 0 ? 0 : left_us / 1000) + 1;
	return ms < longest_ms ? (int)ms : longest_ms;
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

/* Unwraps an encrypted frame in place; false (logged) when it is refused. */
static bool
relay_unframe(uint8_t *buf, ssize_t *n, double now)
{
	size_t l;

	switch (QCA_unframe(&upstream_key, buf, (size_t)*n, &l)) {
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

/* The sender's address as text, for warnings. */
static const char *
relay_addr_text(const struct sockaddr_storage *ss, char *buf, size_t size)
{
	if (ss->ss_family == AF_INET) {
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ss);
		char a[INET_ADDRSTRLEN];
		AN(inet_ntop(AF_INET, &sin->sin_addr, a, sizeof a));
		(void)snprintf(buf, size, "%s:%u", a, (unsigned)ntohs(sin->sin_port));
	} else {
		(void)snprintf(buf, size, "(address family %d)", (int)ss->ss_family);
	}
	return buf;
}

double
relay_seconds(const struct odr_timeval *t)
{
	return (double)t->tv_sec + (double)t->tv_usec * 1e-6;
}

void
DNS_remote(struct sock_dgram *d, int sock, const struct odr_timeval *now)
{
	double secs = relay_seconds(now);
	struct pending_question question;
	struct vdns_msg msg;
	ssize_t n = d->n;
	uint8_t *buf = d->buf;

	if (n == -1) {
		if (!sock_recv_quiet(d->err)) {
			ODR_setSockError(d->err); /* the text of the receive's own error */
			RELAY_LOG(RELAY_RECV, secs, "QILEC_00699: remote: recvfrom(2) error: %d %s",
			    d->err, ODR_sockErrorText());
		}
		return;
	}
	if (n == 0) {
		RELAY_LOG(RELAY_EOF, secs, "QILEC_00700: recvfrom(2) EOF");
		return;
	}

	const struct sockaddr_storage *from = d->from;
	const struct upstream_server *us = find_upstream_server(from, d->fromlen);
	if (us == NULL) {
		char a[64];
		RELAY_LOG(RELAY_STRANGER, secs, "[WARN] Dropped a datagram from %s: not an upstream server.",
		    relay_addr_text(from, a, sizeof a));
		return;
	}
	if ((us->flags & UPSTREAM_ENCRYPTED) && n > QCA_FRAME_MAXSIZE) {
		/* What the frame's own receive buffer would have refused. */
		ODR_setSockError(ODR_EMSGSIZE);
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00699: remote: recvfrom(2) error: %d %s",
		    ODR_EMSGSIZE, ODR_sockErrorText());
		return;
	}
	if ((us->flags & UPSTREAM_ENCRYPTED) && !relay_unframe(buf, &n, secs))
		return;

	if (n < VDNS_HEADER_SIZE) {
		RELAY_LOG(RELAY_PARSE, secs, "QILEC_00701: remote: Failed to parse DNS response.");
		return;
	}
	/* The ID first: a flood of answers to nothing costs no parse. */
	uint16_t id = (uint16_t)(buf[0] << 8 | buf[1]);
	const struct pending_query *pq = find_pending(id);
	/* A never-used slot (no client address) answers nobody, and only
	 * the socket a query left from takes its answers. */
	if (pq == NULL || pq->client_addrlen == 0 || pq->sock != sock) {
		RELAY_LOG(RELAY_NO_QUERY, secs, "[WARN] Unexpected DNS response for ID %d", (int)id);
		return;
	}
	if (VDNS_initparse(buf, (size_t)n, &msg) < 0 ||
	    pending_question_read(&msg, &question) < 0) {
		RELAY_LOG(RELAY_PARSE, secs, "QILEC_00701: remote: Failed to parse DNS response.");
		return;
	}
	if (!(msg.flags & VDNS_QR) || !pending_question_equal(&pq->question, &question)) {
		RELAY_LOG(RELAY_NO_QUERY, secs,
		    "[WARN] DNS response for ID %d does not answer its query; dropped.", (int)id);
		return;
	}

	uint16_t wire_id = htons(pq->orig_id);
	memcpy(buf, &wire_id, sizeof wire_id);

	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(from);
	switch (filter_response(&msg, sin->sin_addr.s_addr)) {
	case FILTER_RELAY:
		sock_send(local_fd, buf, (size_t)n, &pq->client_addr, pq->client_addrlen,
		    "QILEC_00702");
		break;
	case FILTER_HOLD:
		hold_answer_at(now, pq->id, buf, (int32_t)n, &pq->client_addr,
		    pq->client_addrlen);
		break;
	default:
		break;
	}
}
