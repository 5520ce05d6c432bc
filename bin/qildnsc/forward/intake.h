/*
 * intake.h -- query intake: the pending-query ring, indexed by upstream
 * ID, and DNS_local().
 *
 * Owned by the event-loop thread alone; nothing here is locked.
 */
#ifndef QILDNSC_INTAKE_H
#define QILDNSC_INTAKE_H

#include <stdint.h>

#include "odr.h"
#include "vdns.h"

#include "forward/sockets.h"

#define PENDING_QUERIES_MAX 256
/* Queries of EDNS size; those over QCA_FRAME_MAXMSG skip encrypted servers. */
#define LOCAL_BUFSIZE SOCK_DGRAM_MAX
/* Draws of the random generator for one fresh upstream ID before the
 * query is given up: with at most PENDING_QUERIES_MAX of 65536 IDs taken,
 * a working generator needs more than a few almost never. */
#define PENDING_ID_DRAWS 16

/*
 * The first question of a query, kept so that only its answer is taken:
 * its name in uncompressed wire form with ASCII letters folded to lower
 * case, so that equal questions are equal bytes.
 */
struct pending_question {
	uint8_t present;  /* 0 for a message without a question */
	uint8_t name_len; /* bytes of `name` in use, the root label included */
	uint16_t type;
	uint16_t rr_class;
	uint8_t name[VDNS_MAXCDNAME];
};

struct pending_query {
	uint16_t id;      /* the forwarder's upstream ID */
	uint16_t orig_id; /* the client's ID */
	uint8_t sock;     /* the upstream socket it left from (index of remote_fds) */
	struct sockaddr_storage client_addr;
	int32_t client_addrlen;
	struct pending_question question;
};

/* Fills `q` from the first question of `msg`; -1 when it does not parse. */
int pending_question_read(struct vdns_msg *msg, struct pending_question *q);
/* True when both questions are equal (names compared ignoring case). */
bool pending_question_equal(const struct pending_question *a,
                            const struct pending_question *b);

/*
 * The ring keeps the last PENDING_QUERIES_MAX records; add_pending()
 * overwrites the oldest. Upstream IDs in the ring are unique, except 0,
 * which every never-used slot holds; a record added with an ID the ring
 * already holds takes over that ID's lookups.
 */
void add_pending(const struct pending_query *pq);
/* The record with upstream ID `id`, or NULL; constant time. */
const struct pending_query *find_pending(uint16_t id);
/* A fresh, unpredictable upstream ID that no slot of the ring holds, or -1
 * when PENDING_ID_DRAWS draws found none (a failing random generator). */
int32_t pending_new_id(void);

/* Checks one datagram received on the listening socket and forwards it to
 * every upstream server, from one upstream socket of remote_fds chosen at
 * random (queued there). */
void DNS_local(struct sock_dgram *d);
/* Writes the summaries of the intake's rate-limited lines whose second is
 * over (called on every loop turn). */
void intake_log_flush(double now);

#endif
