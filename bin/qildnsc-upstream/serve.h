/*
 * serve.h -- the serving side of qildnsc-upstream: encrypted frames from
 * clients on the listening socket, each query sent on to the resolver with
 * an ID of our own, each answer framed and returned to its client.
 *
 * One thread does everything: serve_open() and serve_run() run on the
 * first thread, which alone touches the handle afterwards.
 */
#ifndef QILDNSC_UPSTREAM_SERVE_H
#define QILDNSC_UPSTREAM_SERVE_H

#include <netinet/in.h>
#include <stdint.h>

#include "qca.h"
#include "vtc_limit.h"

/* Datagrams read from one socket per wake-up, so neither starves. */
#define UPS_READS_PER_WAKEUP 64
/* The loop's longest sleep: expiry and rate-limit summaries run this often. */
#define UPS_TICK_MSEC 100
/* The largest UDP payload: answers are read whole, whatever their size. */
#define UPS_ANSWER_BUFSIZE 65536
/* Sockets to the resolver, each on a port the kernel picks at random; each
 * query leaves from one of them at random, and only that one takes its
 * answer, so that a forger must guess the port as well as the ID. */
#define UPS_RESOLVER_SOCKETS 8

struct ups_config;
struct ups_pending;

/* The rate limits of what clients and the network can trigger. */
struct ups_limits {
	struct vtc_limit client_recv, frame, query, full, no_id;
	struct vtc_limit resolver_send, resolver_recv, answer, unexpected, too_long,
	    client_send, mismatch;
};

struct ups_server {
	unsigned magic;
#define UPS_SERVER_MAGIC 0x3e91a6d4
	int listen_fd;   /* frames from clients */
	/* Connected to the resolver: nobody else reaches them. */
	int resolver_fds[UPS_RESOLVER_SOCKETS];
	int signal_fd;   /* SIGINT and SIGTERM */
	struct sockaddr_in resolver;
	QCA_Context key;
	struct ups_pending *pending;
	struct ups_limits lim;
	uint8_t answer_buf[UPS_ANSWER_BUFSIZE];
};

/*
 * Sets up `s` from `conf` (its resolver, when absent, taken from
 * UPS_RESOLV_CONF and written back): the key, the pending table, the
 * resolver's address, the sockets, and the exit signals (blocked and read
 * from signal_fd). 0, or -1 after ups_fail().
 */
int serve_open(struct ups_server *s, struct ups_config *conf);

/* Serves until SIGINT or SIGTERM: 0 then; 1 when poll(2) fails. */
int serve_run(struct ups_server *s);

/* Closes what serve_open() opened (all of it, or as far as it came) and
 * frees the pending table. */
void serve_close(struct ups_server *s);

#endif
