/*
 * intake.cc -- DNS_local(): one client query from the listening socket,
 * checked, given an upstream ID of our own, remembered in the pending ring
 * and queued for every upstream server (framed and encrypted where marked).
 *
 * Event-loop thread only. No allocation and no system call per query:
 * fixed buffers, the fixed ring and its index, IDs from a block of random
 * values.
 */
#include <string.h>

#include <array>

#include "forward/intake.h"
#include "odr_random.h"
#include "qca_frame.h"
#include "common/qildnsc.h"
#include "servers/servers.h"
#include "vtc_limit.h"
#include "vtc_log.h"

/* Lines that anyone who can reach the listening socket can cause, and the
 * failed ID draw: each kind at most VTC_LIMIT_BURST a second. */
enum intake_line { INTAKE_RECV, INTAKE_EOF, INTAKE_PARSE, INTAKE_TOO_LONG, INTAKE_NO_ID,
	INTAKE_LINES };
static std::array<struct vtc_limit, INTAKE_LINES> intake_limits = {{
    VTC_LIMIT_INIT("QILEC_00692: local: recvfrom(2) error", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_00694: recvfrom(2) EOF", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_00695: Failed to parse DNS request.", VTCLOG_ERROR),
    VTC_LIMIT_INIT("[WARN] Query too long for encrypted servers", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_00880: No fresh upstream ID", VTCLOG_ERROR),
}};

#define INTAKE_LOG(line, ...) \
	vtc_limit_log(&intake_limits[(line)], vl, __VA_ARGS__)

void
intake_log_flush(double now)
{
	for (auto &lim : intake_limits)
		vtc_limit_flush(&lim, vl, now);
}

static std::array<struct pending_query, PENDING_QUERIES_MAX> pending_queries;
static int32_t pending_last;
/*
 * The slot that last took each ID. A slot is only the ID's record while it
 * still holds that ID, so an overwritten record drops out of the index by
 * itself. All zero at start: slot 0, the last to be used, answers for the
 * 0 of the never-used slots.
 */
static std::array<uint8_t, 65536> pending_slot_of;
static_assert(PENDING_QUERIES_MAX <= 256, "slot numbers fit the index");

void
add_pending(const struct pending_query *pq)
{
	pending_last = (pending_last + 1) % PENDING_QUERIES_MAX;
	struct pending_query *slot = &pending_queries[(size_t)pending_last];
	uint16_t old = slot->id;
	*slot = *pq;
	pending_slot_of[pq->id] = (uint8_t)pending_last;
	/* A 0 given to a slot, now overwritten: slot 0 may still hold the 0 of
	 * a never-used one. */
	if (old == 0 && pq->id != 0 && pending_slot_of[0] == pending_last)
		pending_slot_of[0] = 0;
}

const struct pending_query *
find_pending(uint16_t id)
{
	const struct pending_query *pq = &pending_queries[pending_slot_of[id]];
	return pq->id == id ? pq : NULL;
}

int32_t
pending_new_id(void)
{
	/*
	 * Unpredictable, so that nobody who can reach the upstream port can
	 * guess the ID of a query in flight. Never-used slots hold 0, so 0 is
	 * not chosen while the ring has not wrapped. A draw of 0 is what a
	 * failing generator gives (a working one, once in 2^32 draws): it is
	 * never used, so that a broken generator cannot hand out one ID.
	 */
	for (int i = 0; i < PENDING_ID_DRAWS; i++) {
		uint32_t v = ODR_random(vl);
		if (v == 0)
			continue;
		uint16_t id = (uint16_t)(v & 0xffff);
		if (find_pending(id) == NULL)
			return id;
	}
	return -1;
}

int
pending_question_read(struct vdns_msg *msg, struct pending_question *q)
{
	const uint8_t *base = msg->msg, *end = msg->eom;

	q->present = 0;
	q->name_len = 0;
	q->type = q->rr_class = 0;
	if (msg->counts[VDNS_S_QD] == 0)
		return 0;
	/* Follows compression pointers, refusing loops and overlong names. */
	int used = VDNS_name_unpack(msg, base + VDNS_HEADER_SIZE, q->name);
	if (used < 0)
		return -1;
	const uint8_t *p = base + VDNS_HEADER_SIZE + used;
	if (end - p < 4) /* type and class */
		return -1;
	size_t len = 0;
	while (q->name[len] != 0)
		len += (size_t)q->name[len] + 1;
	len++;
	/* Label lengths are at most 63, below 'A': folding every byte only
	 * touches letters. */
	for (size_t i = 0; i < len; i++)
		if (q->name[i] >= 'A' && q->name[i] <= 'Z')
			q->name[i] = (uint8_t)(q->name[i] + ('a' - 'A'));
	q->name_len = (uint8_t)len;
	q->type = (uint16_t)(p[0] << 8 | p[1]);
	q->rr_class = (uint16_t)(p[2] << 8 | p[3]);
	q->present = 1;
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
	    a->name_len == b->name_len && memcmp(a->name, b->name, a->name_len) == 0;
}

/* Queues the query for every upstream server. */
static void
intake_forward(const uint8_t *query, size_t len, int sock)
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
					INTAKE_LOG(INTAKE_TOO_LONG,
					    "[WARN] Query of %zu bytes is too long for encrypted servers; not sent to them.",
					    len);
				warned = true;
				continue;
			}
			out = frame;
			outlen = (size_t)n;
		}
		sock_send(remote_fds[sock], out, outlen, &us->addr, us->addrlen, "QILEC_00696");
	}
}

void
DNS_local(struct sock_dgram *d)
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
	    pending_question_read(&msg, &pq.question) < 0) {
		INTAKE_LOG(INTAKE_PARSE, "QILEC_00695: Failed to parse DNS request.");
		return;
	}
	pq.orig_id = msg.id;
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
	pq.sock = (uint8_t)(n_remote_fds > 1 ? ODR_random(vl) % (uint32_t)n_remote_fds : 0);
	uint16_t wire_id = htons(pq.id);
	memcpy(d->buf, &wire_id, sizeof wire_id);
	pq.client_addr = *d->from;
	pq.client_addrlen = (int32_t)d->fromlen;
	add_pending(&pq);
	intake_forward(d->buf, (size_t)d->n, pq.sock);
}
