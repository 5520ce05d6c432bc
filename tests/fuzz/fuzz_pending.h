/*
 * fuzz_pending.h -- a query in flight for an answer the fuzzer made, so
 * that the answer reaches the relay's judgement instead of being dropped
 * as answering nothing.
 */
#ifndef QILDNSC_FUZZ_PENDING_H
#define QILDNSC_FUZZ_PENDING_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include "forward/pending.h"
#include "vdns.h"
#include "vdns_question.h"

/* Adds the query that `msg` (`len` bytes) answers, under its own ID, for a
 * client on the discard port; nothing when its question does not parse. */
inline void
fuzz_expect_answer(const uint8_t *msg, size_t len)
{
	struct vdns_msg m;
	struct pending_query pq = {};
	if (VDNS_initparse(msg, len, &m) < 0 || VDNS_question_read(&m, &pq.question) < 0)
		return;
	pq.id = m.id;
	pq.orig_id = 0x4242;
	auto *sin = reinterpret_cast<struct sockaddr_in *>(&pq.client_addr);
	sin->sin_family = AF_INET;
	sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	sin->sin_port = htons(9); /* discard: nobody reads the relayed copies */
	pq.client_addrlen = sizeof *sin;
	add_pending(&pq);
}

#endif
