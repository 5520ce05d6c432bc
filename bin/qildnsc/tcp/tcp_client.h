/*
 * tcp_client.h -- the TCP server's handle and its client connections,
 * shared by the listener (tcp_server.cc: who is let in, the thread's
 * turns) and the connections' own work (tcp_client.cc: messages in,
 * replies out, the clocks of each connection).
 *
 * TCP thread only, after init_tcp() made the handle.
 */
#ifndef QILDNSC_TCP_CLIENT_H
#define QILDNSC_TCP_CLIENT_H

#include <stdint.h>

#include <list>
#include <memory>
#include <vector>

#include "odr.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_watch.h"
#include "vtc_limit.h"

/* Seconds a connection may stay without traffic and without a query in
 * flight before it is closed. */
#define TCP_IDLE_TIMEOUT 10.0
/* Seconds a message may take from its first byte to its last (while we
 * read); then the connection is closed. */
#define TCP_MESSAGE_TIMEOUT 10.0
/* Seconds a client may leave what we write untaken; then the connection
 * is reset. */
#define TCP_WRITE_TIMEOUT 10.0
/* Queries of one connection in flight at once; further messages wait in
 * the socket until one is answered. */
#define TCP_CLIENT_QUERIES_MAX 4

struct tcp_server;

struct tcp_client {
	unsigned magic;
#define TCP_CLIENT_MAGIC 0x8f7314d5
	struct tcp_server *ts;
	struct tcp_watch w; /* the readiness set points here, `priv` back here */
	char name[64];      /* address:port, for log lines */
	struct sockaddr_storage addr; /* the peer's: the per-address limit, the record */
	bool diverted;      /* redirected to us by diversion */
	std::vector<uint8_t> in; /* 2 + TCP_MSG_MAX bytes: one whole message fits */
	size_t inlen;
	std::vector<uint8_t> out;
	size_t outoff;
	std::vector<struct tcp_query *> queries;
	uint32_t interest;  /* the events asked of the readiness set */
	double accepted;    /* monotonic time of the turn that accepted it */
	double last;        /* monotonic time of the last traffic */
	double msg_since;   /* since when the unfinished message of `in` is awaited */
	double out_since;   /* the last progress of the output, while some waits */
	bool eof;
};

/* The TCP thread's state, made once by init_tcp() and never freed: the
 * process may end (exit handlers and all) while the thread still uses it. */
struct tcp_server {
	unsigned magic;
#define TCP_SERVER_MAGIC 0x3ac5d2e1
	struct tcp_poll *poll;
	struct tcp_watch listener;
	/* In diversion mode, the twin on [::1] that IPv6 connections are
	 * redirected to; its fd is -1 without one. */
	struct tcp_watch listener6;
	bool listener_paused;
	double listener_resume;
	struct tcp_watch waker; /* tcp_stop()'s way in: a wake socket */
	double now;
	std::list<std::unique_ptr<tcp_client>> clients; /* oldest first */
	struct tcp_query_env queries;
	struct vtc_limit lim_accept;
	struct vtc_limit lim_full;
	struct vtc_limit lim_parse;
	struct vtc_limit lim_send;
	struct vtc_limit lim_address;
	struct vtc_limit lim_evict;
	struct vtc_limit lim_evict_stalled;
	struct vtc_limit lim_message;
	struct vtc_limit lim_stalled;
	bool stop; /* set by tcp_stop() from another thread (std::atomic_ref) */
};

/* A client on the accepted socket `fd` from `ss`, already in the readiness
 * set; NULL (fd closed, the socket error kept) when the set cannot take it. */
std::unique_ptr<tcp_client> tcp_client_new(struct tcp_server *ts, int fd,
                                           const struct sockaddr_storage *ss);
/* True when the client waits for nothing of ours: no query in flight and
 * nothing left to write. */
bool tcp_client_idle(const struct tcp_client *c);
/* True when some of what we wrote waits for the client to take it (since
 * `out_since`). */
bool tcp_client_output_waits(const struct tcp_client *c);
/* Reads what the client sent and starts its queries, as far as allowed. */
void tcp_client_read(struct tcp_client *c);
/* Closes the connection; its record stays until the turn's sweep. */
void tcp_client_close(struct tcp_client *c);
/* Closes it with a reset: what the kernel still holds for the client is
 * dropped at once instead of waiting there for a reader that is gone. */
void tcp_client_abort(struct tcp_client *c);
/* The clocks of one open client: its queries, its deadlines, the events it
 * waits for. */
void tcp_client_sweep(struct tcp_client *c);
/* When tcp_client_sweep() next has something to do for the open client
 * (monotonic seconds): one of its queries or deadlines; HUGE_VAL when
 * nothing but its traffic can change it. */
double tcp_client_next(const struct tcp_client *c);
/* Frees a closed client with its queries. */
void tcp_client_delete(std::unique_ptr<tcp_client> c);

#endif
