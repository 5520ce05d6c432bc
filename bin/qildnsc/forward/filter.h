/*
 * filter.h -- the judgement of upstream answers by the blocklist and the
 * CRoute table: relay at once, hold as a fallback, or drop.
 *
 * Called by the event-loop and TCP threads; reads only tables loaded at
 * start-up.
 */
#ifndef QILDNSC_FILTER_H
#define QILDNSC_FILTER_H

#include <stdint.h>

#include "odr.h"
#include "vdns.h"

/* What becomes of one answer. */
enum filter_verdict {
	FILTER_HOLD = -1, /* kept back as a fallback for a better answer */
	FILTER_RELAY = 0, /* sent to the client at once */
	FILTER_DROP = 1,  /* never sent */
};

/* Why an answer was dropped. */
enum filter_cause {
	FILTER_CAUSE_BLOCKED, /* an address on the blocklist */
	FILTER_CAUSE_ABROAD,  /* a domestic server's address outside the CRoute table */
};

struct filter_why {
	enum filter_cause cause;
	uint32_t addr; /* the address at fault, network order */
};

/* True for an answer that says what is there (NOERROR) or that nothing is
 * (NXDOMAIN); false for a server's failure or refusal, which another
 * server's answer should still overtake. */
bool filter_is_answer(const struct vdns_msg *msg);

/* True for a server's failure without a question: FORMERR, SERVFAIL,
 * NOTIMP or REFUSED, which a server may send about a query it could not
 * read or would not take. Never NOERROR or NXDOMAIN: a bare one answers
 * no question, and would let anyone on the path end a query with twelve
 * bytes. */
bool filter_bare_failure(const struct vdns_msg *msg);

/* The verdict on a parsed upstream answer from `server` (IPv4, network
 * order). */
enum filter_verdict filter_response(struct vdns_msg *msg, uint32_t server);
/* The verdict on a parsed upstream answer from `server` (IPv4 or IPv6: the
 * CRoute table knows IPv4 only, so an IPv6 server is never domestic); on
 * FILTER_DROP, `why` (when not NULL) says why. */
enum filter_verdict filter_judge(struct vdns_msg *msg, const struct sockaddr_storage *server,
                                 struct filter_why *why);

#endif
