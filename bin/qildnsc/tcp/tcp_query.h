/*
 * tcp_query.h -- one query that came over TCP, forwarded to every server
 * at once: over TCP to each plain server (one connection per server), in
 * framed datagrams to the encrypted ones. Answered exactly once: with the
 * first answer that filter_response() relays, or a truncated one (from an
 * encrypted server, once no plain server is still at work); else with the
 * answer it holds (a failure without a question among them), HOLD_DELAY
 * after that answer came or as soon as every server has answered or
 * failed; else with SERVFAIL once every server has failed or
 * TCP_QUERY_TIMEOUT has passed.
 *
 * TCP thread only (tcp_server.h). The server and filter tables are read
 * without locks; each query owns its copy of the message, its sockets and
 * the answers it reads.
 */
#ifndef QILDNSC_TCP_QUERY_H
#define QILDNSC_TCP_QUERY_H

#include <stddef.h>
#include <stdint.h>

#include <unordered_map>

#include "odr.h"
#include "tcp/tcp_reply.h"
#include "tcp/tcp_watch.h"
#include "vtc_limit.h"

/* The largest DNS message over TCP: what a 2-byte length can say. */
#define TCP_MSG_MAX 65535
/* Seconds a query waits for a usable answer before SERVFAIL. */
#define TCP_QUERY_TIMEOUT 4.0


struct tcp_query;
struct tcp_poll;

/*
 * What the queries of the TCP thread share: the readiness set their
 * connections join and the rate limits of their complaints. A member of
 * the TCP server's handle, owned by the TCP thread like it.
 */
struct tcp_query_env {
	unsigned magic;
#define TCP_QUERY_ENV_MAGIC 0x66224c04
	struct tcp_poll *poll;
	struct vtc_limit lim_connect;
	struct vtc_limit lim_answer;
	struct vtc_limit lim_timeout;
	struct vtc_limit lim_stranger;
	struct vtc_limit lim_dgram;
	struct vtc_limit lim_dgram_sock;
	struct vtc_limit lim_too_long;
	bool no_plain_logged; /* a query no server can take is said once */
	/* The TLS thread's channel (dot.h), when there are TLS servers, and
	 * the queries waiting on it by the ID they were asked under. */
	struct tcp_watch tls;
	std::unordered_map<uint16_t, struct tcp_query *> tls_queries;
	struct vtc_limit lim_tls;
};

/* Readies `env` for queries whose connections join `poll`; on the
 * start-up thread, before the TCP thread runs. */
void tcp_query_env_init(struct tcp_query_env *env, struct tcp_poll *poll);
/* Writes the summaries of the rate-limited complaints of the queries whose
 * second is over; called now and then. */
void tcp_query_env_flush_logs(struct tcp_query_env *env, double now);


/*
 * Starts forwarding `msg` (`len` bytes) to every server; its sockets join
 * the readiness set of `env`. `reply` is called exactly once with `priv`,
 * possibly before this returns (no server it can go to, no socket
 * possible). `now` is the monotonic time; `client` is recorded, as
 * diverted when `diverted`. The caller deletes
 * the query once it is done. NULL (nothing logged) when `msg` is not a
 * well-formed DNS message whose question can be read.
 */
struct tcp_query *tcp_query_new(struct tcp_query_env *env, const uint8_t *msg, size_t len,
                                 tcp_reply_f *reply, void *priv, double now,
                                 const struct sockaddr_storage *client, bool diverted);
/* Releases a held answer that is due, or ends a query whose time is up. */
void tcp_query_tick(struct tcp_query *q, double now);
/* When tcp_query_tick() has something to do for the query next (monotonic
 * seconds): its held answer due, or its time-out; a huge value once done. */
double tcp_query_next(const struct tcp_query *q);
/* True once the reply has been given. */
bool tcp_query_done(const struct tcp_query *q);
/* Closes the query's connections and frees it; no reply is given if it
 * was not done yet. */
void tcp_query_delete(struct tcp_query *q);

#endif
