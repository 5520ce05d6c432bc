/*
 * tcp_query_paths.h -- the inside of a query over TCP (tcp_query.h) and
 * its two paths to the servers: one connection per plain server
 * (tcp_upstream.cc) and framed datagrams to the encrypted servers from a
 * socket of the query's own (tcp_datagram.cc). Each path hands every whole
 * answer to the query (tcp_query.cc), which checks it, judges it and gives
 * the one reply.
 *
 * TCP thread only; each query owns its sockets and what they read.
 */
#ifndef QILDNSC_TCP_QUERY_PATHS_H
#define QILDNSC_TCP_QUERY_PATHS_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "forward/pending.h"
#include "servers/servers.h"
#include "tcp/tcp_reply.h"
#include "tcp/tcp_watch.h"

struct tcp_query_env;

/* One connection to one plain server. */
struct tcp_upstream {
	unsigned magic;
#define TCP_UPSTREAM_MAGIC 0xce2995d6
	struct tcp_watch w; /* the readiness set points here, `priv` back here */
	struct tcp_query *q;
	const struct upstream_server *server;
	size_t sent;  /* bytes of the query written, length included */
	size_t got;   /* bytes of the answer read, length included */
	uint8_t prefix[2];
	std::vector<uint8_t> answer;
};

/* The query's datagram socket and the encrypted servers it asked. */
struct tcp_datagrams {
	unsigned magic;
#define TCP_DATAGRAMS_MAGIC 0x4be1c07a
	struct tcp_watch w; /* the readiness set points here, `priv` back here */
	struct tcp_query *q;
	uint16_t id; /* the datagrams' ID: a fresh one, not the client's */
	/* The socket's family: IPv6 (taking IPv4 too, mapped) when an
	 * encrypted server is an IPv6 one. */
	int family;
	std::vector<const struct upstream_server *> waiting; /* not answered yet */
};

/* The TLS servers a query asked through the TLS thread. */
struct tcp_tls {
	unsigned magic;
#define TCP_TLS_MAGIC 0x2f6a81c3
	struct tcp_query *q;
	uint16_t id; /* a fresh one, not the client's: the channel's key */
	std::vector<const struct upstream_server *> waiting; /* not answered yet */
};

/* The fallback answer a query keeps, by what it is worth. */
enum tcpq_kept {
	TCPQ_KEPT_NONE,
	TCPQ_KEPT_FAILURE,   /* a server's failure: held */
	TCPQ_KEPT_ANSWER,    /* NOERROR or NXDOMAIN, records or none: held, never
	                        replaced by a failure */
	TCPQ_KEPT_TRUNCATED, /* truncated datagram: waits for the plain servers */
};

struct tcp_query {
	unsigned magic;
#define TCP_QUERY_MAGIC 0x7c9e1a4d
	struct tcp_query_env *env;
	tcp_reply_f *reply;
	void *priv;
	std::vector<uint8_t> wire; /* 2-byte length, then the message */
	uint16_t id;
	struct vdns_question question;
	std::vector<std::unique_ptr<tcp_upstream>> ups;
	std::unique_ptr<tcp_datagrams> dgrams;
	std::unique_ptr<tcp_tls> tls;
	int open;     /* servers not yet answered or failed */
	int tcp_open; /* of them, those over TCP */
	std::vector<uint8_t> kept;
	enum tcpq_kept kept_kind;
	int kept_server; /* the number of the server whose answer is kept */
	double kept_at;
	uint64_t rec; /* its number in the record of queries; 0 when not recorded */
	double deadline;
	int cache_bits; /* its answer's key bits in the cache; -1: no cache */
	bool done;
};

/* How an answer came. */
enum tcpq_path {
	TCPQ_PATH_TCP,      /* over plain TCP */
	TCPQ_PATH_DATAGRAM, /* an encrypted server's datagram */
	TCPQ_PATH_TLS,      /* a TLS connection whose certificate checked out:
	                     * nothing on the path forged it, so it is held
	                     * only when it is the server's failure */
};

/*
 * Takes the whole answer `msg` (`len` bytes, changed in place) from `us`,
 * sent under `id`, that came by `path`: NULL once it is judged (the query
 * may be done then), else why it is no answer of this query.
 */
const char *tcpq_take(struct tcp_query *q, const struct upstream_server *us, uint8_t *msg,
                      size_t len, uint16_t id, enum tcpq_path path);
/* After a server is done (answered or failed, `open` counted down): the
 * reply once nothing better can come. */
void tcpq_settle(struct tcp_query *q);

/* Opens the connection to one plain server; false (logged) when it fails
 * at once. */
bool tcpq_connect(struct tcp_query *q, const struct upstream_server *us);
/* Closes one connection of the query, if open. */
void tcpq_upstream_close(struct tcp_upstream *u);

/* Sends the query to every encrypted server from a new socket; true when
 * one at least was asked. A query too long for a frame asks none. */
bool tcpq_datagrams_start(struct tcp_query *q);
/* Closes the query's datagram socket, if open. */
void tcpq_datagrams_close(struct tcp_query *q);

/* Joins the TLS thread's channel to the readiness set, when there is one
 * (tcp_query_env_init()). */
void tcpq_tls_env_init(struct tcp_query_env *env);
/* Hands the query to the TLS thread for every TLS server; true when one
 * at least was asked. */
bool tcpq_tls_start(struct tcp_query *q);
/* Forgets the query's TLS servers, if any: their answers find it no more. */
void tcpq_tls_close(struct tcp_query *q);

#endif
