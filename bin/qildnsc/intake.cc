/*
 * intake.cc -- DNS_local(): one client query from the listening socket,
 * checked, given an upstream ID of our own, remembered in the pending ring
 * and sent to every upstream server (framed and encrypted where marked).
 *
 * Event-loop thread only. No allocation per query: fixed buffers and the
 * fixed ring.
 */
#include <string.h>

#include <array>

#include "intake.h"
#include "loop.h"
#include "qca_frame.h"
#include "qildnsc.h"
#include "servers.h"
#include "vtc_log.h"

static std::array<struct pending_query, PENDING_QUERIES_MAX> pending_queries;
static int32_t pending_last;

void
add_pending(const struct pending_query *pq)
{
	pending_last = (pending_last + 1) % PENDING_QUERIES_MAX;
	pending_queries[(size_t)pending_last] = *pq;
}

const struct pending_query *
find_pending(uint16_t id)
{
	for (const auto &pq : pending_queries)
		if (pq.id == id)
			return &pq;
	return NULL;
}

uint16_t
pending_new_id(void)
{
	/*
	 * Unpredictable, so that nobody who can reach the upstream port can
	 * guess the ID of a query in flight. Never-used slots hold 0, so 0 is
	 * not chosen while the ring has not wrapped.
	 */
	uint16_t id;
	do
		id = (uint16_t)(ODR_random(vl) & 0xffff);
	while (find_pending(id) != NULL);
	return id;
}

int
pending_question_read(struct vdns_msg *msg, struct pending_question *q)
{
	struct vdns_rr rr;

	memset(q, 0, sizeof *q);
	if (msg->counts[VDNS_S_QD] == 0)
		return 0;
	if (VDNS_parserr(msg, VDNS_S_QD, 0, &rr) < 0)
		return -1;
	q->present = 1;
	q->type = rr.type;
	q->rr_class = rr.rr_class;
	static_assert(sizeof q->name == sizeof rr.name);
	memcpy(q->name, rr.name, sizeof q->name);
	q->name[sizeof q->name - 1] = '\0';
	return 0;
}

bool
pending_question_equal(const struct pending_question *a,
                       const struct pending_question *b)
{
	if (a->present != b->present)
		return false;
	if (!a->present)
		return true;
	return a->type == b->type && a->rr_class == b->rr_class &&
	    ODR_strncasecmp(a->name, b->name, sizeof a->name) == 0;
}

/* Sends the query to every upstream server. */
static void
intake_forward(const uint8_t *query, size_t len)
{
	uint8_t frame[QCA_FRAME_MAXSIZE];
	bool warned = false;

	for (int32_t i = 0; i < n_upstream_servers; i++) {
		const struct upstream_server *us = &upstream_servers[i];
		const uint8_t *out = query;
		size_t outlen = len;

		if (us->flags & UPSTREAM_ENCRYPTED) {
			int n = QCA_frame(&upstream_key, query, len, frame, sizeof frame);
			if (n < 0) {
				if (!warned)
					vtc_log(vl, VTCLOG_WARN,
					    "[WARN] Query of %zu bytes is too long for encrypted servers; not sent to them.",
					    len);
				warned = true;
				continue;
			}
			out = frame;
			outlen = (size_t)n;
		}
		loop_sendto(remote_fd, out, outlen, &us->addr, us->addrlen, "QILEC_00696");
	}
}

void
DNS_local(void)
{
	uint8_t buf[LOCAL_BUFSIZE];
	struct pending_query pq = {};
	socklen_t addrlen = sizeof pq.client_addr;
	struct vdns_msg msg;

	ssize_t n = ODR_recvfrom(local_fd, buf, sizeof buf, 0,
	    reinterpret_cast<struct sockaddr *>(&pq.client_addr), &addrlen);
	if (n == -1) {
		int e = ODR_sockError();
		if (!loop_recv_quiet(e))
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00692: local: recvfrom(2) error: %d", e);
		return;
	}
	if (n == 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00694: recvfrom(2) EOF");
		return;
	}
	if (VDNS_initparse(buf, (size_t)n, &msg) < 0 ||
	    pending_question_read(&msg, &pq.question) < 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00695: Failed to parse DNS request.");
		return;
	}
	pq.orig_id = msg.id;
	pq.id = pending_new_id();
	uint16_t wire_id = htons(pq.id);
	memcpy(buf, &wire_id, sizeof wire_id);
	pq.client_addrlen = (int32_t)addrlen;
	add_pending(&pq);
	intake_forward(buf, (size_t)n);
}
