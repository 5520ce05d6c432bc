/*
 * tcp_server.h -- DNS over TCP on the listening address and port: the
 * listening socket, the client connections (each message with its 2-byte
 * length, several in flight per connection, answers in any order, matched
 * by the client through their IDs) and the thread that serves them with
 * the queries of tcp_query.h.
 *
 * init_tcp() runs on the start-up thread; afterwards tcp_thread() alone
 * touches everything here. It shares nothing with the UDP event loop but
 * the read-only server and filter tables, and never waits on it.
 */
#ifndef QILDNSC_TCP_SERVER_H
#define QILDNSC_TCP_SERVER_H

/* Client connections served at once; when all are taken, the oldest idle
 * one (no query in flight, nothing to write), else the one whose answers
 * have waited longest to be taken, makes room for a newcomer, which is
 * refused only when every one is busy with queries. */
#define TCP_CLIENTS_MAX 64
/* Client connections from one address off the loopback at once; more are
 * refused. The loopback's count only towards TCP_CLIENTS_MAX. */
#define TCP_CLIENTS_PER_ADDRESS 8
/* The longest wait of one turn of the TCP thread while the log's rate
 * limits hold a summary to write; otherwise a turn waits until the first
 * clock of a client or query is due, and without a time-out when none is. */
#define TCP_LIMIT_WAIT_MSEC 1000

/* Creates the listening TCP socket on the listening address and port, and
 * the TCP thread's state around it (once, on the start-up thread; never
 * freed); -1 on failure (logged). */
int init_tcp(void);

/* Thread body: serves the TCP clients with the state init_tcp() made, which
 * it owns from then on; `arg` is unused. Returns only after a failure of
 * the wait (logged). */
void *tcp_thread(void *arg);
/* Asks tcp_thread() to return after its current turn, waking it from its
 * wait; any thread may call it, after init_tcp(). */
void tcp_stop(void);

#endif
