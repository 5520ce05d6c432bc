/*
 * dot_conn.h -- one TLS server's connection: opened when a query first
 * needs it, kept while the server keeps it (its keepalive time-out
 * honoured), queries pipelined under IDs of its own and answers taken in
 * any order, the session resumed on reconnection, and after a failure a
 * pause that doubles up to DOT_BACKOFF_MAX before the next try. A
 * connection that ends without having answered anything is such a
 * failure, and so is one whose answers stall or match nothing: a server
 * that shakes hands and then answers nothing is paused like one that
 * cannot be reached.
 *
 * TLS thread only (and the fuzz target, which feeds the answer path).
 */
#ifndef QILDNSC_DOT_CONN_H
#define QILDNSC_DOT_CONN_H

#include <stddef.h>
#include <stdint.h>

#include <gnutls/gnutls.h>

#include "dot/dot_wire.h"
#include "servers/servers.h"
#include "vtc_limit.h"

/* Queries in flight (or queued while connecting) on one connection. */
#define DOT_SLOTS 512
/* Bytes of queries waiting to be written. */
#define DOT_OUT_MAX (256 * 1024)
/* Seconds to connect and shake hands, and to answer a query. */
#define DOT_HANDSHAKE_SECONDS 3.0
#define DOT_QUERY_SECONDS 5.0
/* The idle connection is closed after this long unless the server's
 * keepalive says otherwise. */
#define DOT_IDLE_SECONDS 30.0
/* Seconds for the rest of an answer once its first byte came. */
#define DOT_ANSWER_SECONDS 3.0
/* Answers in a row under IDs of no query in flight that end a
 * connection. */
#define DOT_STRAYS_MAX 8
/* The pause after a failure: doubled each time, reset by an answer. */
#define DOT_BACKOFF_MIN 1.0
#define DOT_BACKOFF_MAX 60.0

enum dot_state {
	DOT_IDLE,       /* no connection */
	DOT_CONNECTING, /* TCP connect in progress */
	DOT_HANDSHAKE,  /* TLS handshake in progress */
	DOT_READY,
	DOT_BACKOFF, /* failed; no new try before `retry_at` */
};

/* Framed queries up to this size are kept until answered, to be sent
 * again once on a new connection when the server closes the old one
 * under them (as it may when it finds the connection idle). */
#define DOT_RETRY_MAX (2 + 4 * DOT_PAD_BLOCK)

/* One query on the connection. */
struct dot_slot {
	bool used;
	uint8_t owner;    /* the channel it came from */
	uint16_t wire_id; /* its ID on the connection */
	uint16_t ask_id;  /* its ID as the asker sent it */
	double deadline;
	bool retried;     /* sent on a second connection already */
	uint16_t qlen;    /* bytes of `q`, 0 when too long to keep */
	uint8_t q[DOT_RETRY_MAX];
};

/* The rate-limited lines of the connections, one kind each. */
enum dot_line {
	DOT_LINE_CERT,
	DOT_LINE_UNREACHABLE,
	DOT_LINE_STALLED,
	DOT_LINE_LOST,
	DOT_LINE_NO_QUERY,
	DOT_LINE_FULL,
	DOT_LINE_INSECURE,
	DOT_LINE_UNANSWERED,
	DOT_LINE_SLOW,
	DOT_LINE_STRAYS,
	DOT_LINES
};

struct dot_conn {
	unsigned magic;
#define DOT_CONN_MAGIC 0x3d07c1e5
	int server; /* its number in the server table */
	const struct upstream_server *us;
	gnutls_certificate_credentials_t cred;
	const int *owner_fd;     /* the thread's end of each channel */
	struct vtc_limit *lines; /* DOT_LINES limits, shared by the connections */

	enum dot_state state;
	int fd;
	gnutls_session_t sess;
	gnutls_datum_t resume; /* the last session, for the next handshake */
	double since;          /* when the connect or handshake began */
	double retry_at;
	double backoff;
	double last_used;
	double idle;           /* seconds an idle connection is kept */
	double read_at;        /* when the read being served began */

	/* What this connection has answered: the failures above are told
	 * from a server that merely closes an idle connection by these. */
	unsigned answers;      /* queries answered */
	unsigned strays;       /* answers to no query since the last answer */
	double last_answer;    /* when the last one came, 0 before */
	double partial_since;  /* when the answer being read began, or 0 */
	double due;            /* no query times out before this */

	uint8_t *out; /* DOT_OUT_MAX bytes of framed queries to write */
	size_t out_len, out_off;
	size_t sending; /* bytes of the record being sent, or 0 */

	int inflight;
	uint16_t gen;
	struct dot_slot slots[DOT_SLOTS];
	struct dot_reader rd;
};

/* A connection to server number `server`, not yet opened. */
struct dot_conn *dot_conn_new(int server, gnutls_certificate_credentials_t cred,
                              const int *owner_fd, struct vtc_limit *lines);
void dot_conn_delete(struct dot_conn *c);

/* Queues the query `q` of `len` bytes from channel `owner` (sent under
 * `ask_id`), opening the connection when needed; dropped (counted) while
 * the server is paused or the queue is full. */
void dot_conn_query(struct dot_conn *c, int owner, const uint8_t *q, size_t len, double now);

/* The poll events the connection waits for, 0 with no socket. */
short dot_conn_events(const struct dot_conn *c);
/* Serves the socket's readiness `revents`. */
void dot_conn_ready(struct dot_conn *c, short revents, double now);
/* The time-outs: connect, handshake, queries, answers, idleness. */
void dot_conn_tick(struct dot_conn *c, double now);
/* When dot_conn_tick() has something to do next: HUGE_VAL for never
 * (a paused server waits for its next query, not for a clock). */
double dot_conn_deadline(const struct dot_conn *c);

/* One whole message of the stream (dot_answer.cc): an answer to a query
 * in flight goes back to its asker under the asker's ID. */
void dot_conn_take(struct dot_conn *c, const uint8_t *msg, size_t len, double now);
/* Frees the slot of `wire_id`; the slot or NULL when none is in flight. */
struct dot_slot *dot_conn_slot(struct dot_conn *c, uint16_t wire_id);

#endif
