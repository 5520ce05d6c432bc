/*
 * relay.cc -- DNS_remote(): one answer from the upstream socket, matched to
 * its pending query, unwrapped when its server is encrypted, judged by the
 * filter and relayed at once, held for HOLD_DELAY, or dropped.
 *
 * Event-loop thread only. The one allocation is the copy of a held answer.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>

#include "filter.h"
#include "intake.h"
#include "loop.h"
#include "qca_frame.h"
#include "qildnsc.h"
#include "relay.h"
#include "servers.h"
#include "vtc_log.h"

static std::array<struct held_answer, HELD_ANSWERS_SLOTS> held_answers;
static uint32_t held_head, held_tail;

float
elapsed_seconds(const struct odr_timeval *earlier, const struct odr_timeval *later)
{
	int64_t sec = later->tv_sec - earlier->tv_sec;
	int32_t usec = later->tv_usec - earlier->tv_usec;
	return (float)sec + (float)usec / 1000000;
}

static uint32_t
held_next(uint32_t i)
{
	return (i + 1) % HELD_ANSWERS_SLOTS;
}

int
held_answers_count(void)
{
	return (int)((held_tail + HELD_ANSWERS_SLOTS - held_head) % HELD_ANSWERS_SLOTS);
}

void
hold_answer(uint16_t id, const uint8_t *data, int32_t len,
            const struct sockaddr_storage *client_addr, int32_t client_addrlen)
{
	struct odr_timeval now;
	struct held_answer *target = NULL;

	AZ(ODR_gettimeofday(&now, NULL));
	uint8_t *copy = static_cast<uint8_t *>(malloc((size_t)len));
	if (copy == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_XXXXX: Out of memory holding an answer for ID %u",
		    (unsigned)id);
		return;
	}
	memcpy(copy, data, (size_t)len);

	for (uint32_t i = held_head; i != held_tail; i = held_next(i)) {
		if (held_answers[i].id == id) {
			free(held_answers[i].data);
			held_answers[i].data = NULL;
			target = &held_answers[i];
		}
	}
	bool appended = target == NULL;
	if (appended)
		target = &held_answers[held_tail];

	target->id = id;
	target->stamp = now;
	target->data = copy;
	target->len = len;
	target->client_addr = *client_addr;
	target->client_addrlen = client_addrlen;

	if (appended) {
		held_tail = held_next(held_tail);
		if (held_tail == held_head) {
			/* Full: the oldest answer goes, unsent. */
			free(held_answers[held_head].data);
			held_answers[held_head].data = NULL;
			held_head = held_next(held_head);
		}
	}
}

void
release_held_answers(void)
{
	struct odr_timeval now;

	AZ(ODR_gettimeofday(&now, NULL));
	while (held_head != held_tail) {
		struct held_answer *ha = &held_answers[held_head];
		if (!(elapsed_seconds(&ha->stamp, &now) > HOLD_DELAY))
			break;
		loop_sendto(local_fd, ha->data, (size_t)ha->len, &ha->client_addr,
		    ha->client_addrlen, "QILEC_00697");
		free(ha->data);
		ha->data = NULL;
		held_head = held_next(held_head);
	}
}

/* Unwraps an encrypted frame in place; false (logged) when it is refused. */
static bool
relay_unframe(uint8_t *buf, ssize_t *n)
{
	size_t l;

	switch (QCA_unframe(&upstream_key, buf, (size_t)*n, &l)) {
	case QCA_UNFRAME_OK:
		*n = (ssize_t)l;
		return true;
	case QCA_UNFRAME_WRONG_LENGTH:
		vtc_log(vl, VTCLOG_WARN, "[WARN] Wrong length for encryptioin block %zd.", *n);
		return false;
	case QCA_UNFRAME_TOO_LONG:
		vtc_log(vl, VTCLOG_WARN, "[WARN] Too long length for encryptioin block %d %d.",
		    (int)*n, (int)l);
		return false;
	case QCA_UNFRAME_SHORT:
		vtc_log(vl, VTCLOG_WARN,
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

void
DNS_remote(void)
{
	uint8_t buf[REMOTE_BUFSIZE];
	struct sockaddr_storage from;
	socklen_t fromlen = sizeof from;
	struct pending_question question;
	struct vdns_msg msg;

	ssize_t n = ODR_recvfrom(remote_fd, buf, sizeof buf, 0,
	    reinterpret_cast<struct sockaddr *>(&from), &fromlen);
	if (n == -1) {
		int e = ODR_sockError();
		if (!loop_recv_quiet(e))
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00699: remote: recvfrom(2) error: %d %s",
			    e, ODR_sockErrorText());
		return;
	}
	if (n == 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00700: recvfrom(2) EOF");
		return;
	}

	const struct upstream_server *us = find_upstream_server(&from, fromlen);
	if (us == NULL) {
		char a[64];
		vtc_log(vl, VTCLOG_WARN, "[WARN] Dropped a datagram from %s: not an upstream server.",
		    relay_addr_text(&from, a, sizeof a));
		return;
	}
	if ((us->flags & UPSTREAM_ENCRYPTED) && !relay_unframe(buf, &n))
		return;

	if (VDNS_initparse(buf, (size_t)n, &msg) < 0 ||
	    pending_question_read(&msg, &question) < 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00701: remote: Failed to parse DNS response.");
		return;
	}
	uint16_t id = msg.id;
	const struct pending_query *pq = find_pending(id);
	/* A never-used slot (no client address) answers nobody. */
	if (pq == NULL || pq->client_addrlen == 0) {
		vtc_log(vl, VTCLOG_WARN, "[WARN] Unexpected DNS response for ID %d", (int)id);
		return;
	}
	if (!(msg.flags & VDNS_F_QR) || !pending_question_equal(&pq->question, &question)) {
		vtc_log(vl, VTCLOG_WARN,
		    "[WARN] DNS response for ID %d does not answer its query; dropped.", (int)id);
		return;
	}

	uint16_t wire_id = htons(pq->orig_id);
	memcpy(buf, &wire_id, sizeof wire_id);

	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&from);
	switch (filter_response(&msg, sin->sin_addr.s_addr)) {
	case FILTER_RELAY:
		loop_sendto(local_fd, buf, (size_t)n, &pq->client_addr, pq->client_addrlen,
		    "QILEC_00702");
		break;
	case FILTER_HOLD:
		hold_answer(pq->id, buf, (int32_t)n, &pq->client_addr, pq->client_addrlen);
		break;
	default:
		break;
	}
}
