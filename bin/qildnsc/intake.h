/*
 * intake.h -- query intake: the pending-query ring and DNS_local().
 *
 * Owned by the event-loop thread alone; nothing here is locked.
 */
#ifndef QILDNSC_INTAKE_H
#define QILDNSC_INTAKE_H

#include <stdint.h>

#include "odr.h"
#include "vdns.h"

#define PENDING_QUERIES_MAX 256
#define LOCAL_BUFSIZE 512

/* The first question of a query, kept so that only its answer is taken. */
struct pending_question {
	int32_t present; /* 0 for a message without a question */
	uint16_t type;
	uint16_t rr_class;
	char name[VDNS_MAXDNAME];
};

struct pending_query {
	uint16_t id;      /* the forwarder's upstream ID */
	uint16_t orig_id; /* the client's ID */
	struct sockaddr_storage client_addr;
	int32_t client_addrlen;
	struct pending_question question;
};

/* Fills `q` from the first question of `msg`; -1 when it does not parse. */
int pending_question_read(struct vdns_msg *msg, struct pending_question *q);
/* True when both questions are equal (names compared ignoring case). */
bool pending_question_equal(const struct pending_question *a,
                            const struct pending_question *b);

void add_pending(const struct pending_query *pq);
const struct pending_query *find_pending(uint16_t id);
/* A fresh upstream ID that no slot of the ring holds. */
uint16_t pending_new_id(void);

/* Reads and forwards one datagram from the listening socket. */
void DNS_local(void);

#endif
