/*
 * dot_answer.cc -- a message read from a TLS server, back to its asker:
 * it must answer a query in flight on that connection (by its ID there),
 * and goes back under the asker's ID with the server's number before it,
 * whole to the TCP thread and truncated to the event loop when longer
 * than its channel carries. The asker matches it to the client's question
 * and judges it as any other answer.
 *
 * TLS thread only. Whatever the server sends, nothing here crashes or
 * floods the log: the lines are rate-limited.
 */
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "common/qildnsc.h"
#include "common/stats.h"
#include "dot/dot.h"
#include "dot/dot_conn.h"
#include "vdns.h"
#include "vtc_log.h"

struct dot_slot *
dot_conn_slot(struct dot_conn *c, uint16_t wire_id)
{
	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	struct dot_slot *s = &c->slots[wire_id % DOT_SLOTS];
	if (!s->used || s->wire_id != wire_id)
		return NULL;
	s->used = false;
	c->inflight--;
	return s;
}

void
dot_conn_take(struct dot_conn *c, const uint8_t *msg, size_t len, double now)
{
	uint8_t cut[DOT_CHANNEL_MAX - DOT_HDR];

	CHECK_OBJ_NOTNULL(c, DOT_CONN_MAGIC);
	if (len < VDNS_HEADER_SIZE || !(msg[2] & 0x80)) {
		vtc_limit_logat(&c->lines[DOT_LINE_NO_QUERY], vl, now,
		    "QILEC_01022: DNS over TLS server %s sent %zu bytes that are no answer; dropped.",
		    c->us->tls_name, len);
		c->strays++;
		return;
	}
	uint16_t wire_id = (uint16_t)(msg[0] << 8 | msg[1]);
	struct dot_slot *s = dot_conn_slot(c, wire_id);
	if (s == NULL) {
		vtc_limit_logat(&c->lines[DOT_LINE_NO_QUERY], vl, now,
		    "QILEC_01023: DNS over TLS server %s answered ID %u, no query in flight; dropped.",
		    c->us->tls_name, (unsigned)wire_id);
		stats_add(STATS_UNMATCHED, 1);
		c->strays++;
		return;
	}
	c->answers++;
	c->strays = 0;
	c->last_answer = now;
	c->backoff = DOT_BACKOFF_MIN;
	int ka = dot_keepalive(msg, len);
	if (ka >= 0)
		c->idle = (double)ka / 10.0;

	/* A TCP client takes the whole answer; the event loop's UDP clients
	 * would get no more than its channel carries. */
	size_t max = s->owner == DOT_OWNER_TCP ? DOT_CHANNEL_TCP_MAX : DOT_CHANNEL_MAX;
	const uint8_t *body = msg;
	size_t n = len;
	if (DOT_HDR + len > max) {
		int t = VDNS_truncated(msg, len, cut, sizeof cut);
		if (t < VDNS_HEADER_SIZE)
			return;
		body = cut;
		n = (size_t)t;
	}
	/* The server's number and the asker's ID, then the rest as it came:
	 * a large answer is not copied. */
	uint8_t head[DOT_HDR + 2] = {(uint8_t)(c->server >> 8), (uint8_t)(c->server & 0xff),
	    (uint8_t)(s->ask_id >> 8), (uint8_t)(s->ask_id & 0xff)};
	struct iovec iov[2] = {{head, sizeof head},
	    {const_cast<uint8_t *>(body) + 2, n - 2}};
	struct msghdr mh = {};
	mh.msg_iov = iov;
	mh.msg_iovlen = 2;
	ssize_t r;
	do
		r = sendmsg(c->owner_fd[s->owner], &mh, MSG_DONTWAIT);
	while (r == -1 && errno == EINTR);
	if (r == -1)
		vtc_limit_logat(&c->lines[DOT_LINE_FULL], vl, now,
		    "QILEC_01024: DNS over TLS answer not handed back: %d %s", errno,
		    strerror(errno));
}
