/*
 * loop.h -- the event loop: one thread that waits on the listening and the
 * upstream sockets, releases the due held answers on every turn, hands
 * each received datagram to intake or relay, and sends what they queued.
 *
 * The loop knows the handlers; they know only the sockets module.
 */
#ifndef QILDNSC_LOOP_H
#define QILDNSC_LOOP_H

#include "odr.h"
#include "forward/sockets.h"

/* After a turn that took datagrams from clients (their queries went
 * upstream), the loop looks again without sleeping for this long: the
 * answer of a nearby server is usually back within it, and is relayed
 * without the cost of waking a sleeping thread. Only on a machine with at
 * least LOOP_POLL_CPUS cores: with fewer, the client, the server and the
 * loop share them, and the spin takes the core the answer needs. */
#define LOOP_POLL_USEC 100
#define LOOP_POLL_CPUS 4
/* The longest wait while the log's rate limits hold a summary to write. */
#define LOOP_LIMIT_WAIT_MS 1000

/* Sockets one loop serves: the listening sockets first, then the upstream
 * sockets, then the TLS thread's channel (when there is one), then its
 * wake socket. */
#define LOOP_FDS_MAX (SOCK_LOCAL_MAX + 2 * UPSTREAM_SOCKETS + 2)

struct loop {
	unsigned magic;
#define LOOP_MAGIC 0x1e0b7d35
	struct sock_waitset wait;
	int nfds;
	int n_local;             /* listening sockets, at the head of `fds` */
	int fds[LOOP_FDS_MAX];   /* listening, upstream, the TLS channel, then wake */
	int tls_at;              /* the index of the TLS channel in `fds`, or -1 */
	int wake_fd;             /* loop_stop()'s way in, the last of `fds` */
	int poll_usec;           /* the spin after client queries (0: none) */
	struct sock_batch batch; /* the datagrams of the socket being served */
	struct odr_timeval now;  /* the clock of the last turn */
	struct odr_timeval busy; /* the last turn that took client queries */
	bool stop; /* set by loop_stop() from another thread (std::atomic_ref) */
};

/*
 * Sets up `lp` to serve the `n_local` listening sockets of `local`, the
 * `n_upstream` upstream sockets of `upstream` and the TLS thread's channel
 * `tls` (-1 for none); -1 (logged) when the wait set cannot be made.
 */
int loop_open(struct loop *lp, const int *local, int n_local, const int *upstream,
              int n_upstream, int tls);
/* Frees the wait set of `lp`; the sockets stay open (they are not its). */
void loop_close(struct loop *lp);

/*
 * One turn: wait at most `timeout_ms` for a readable socket, release the
 * due held answers, serve at most SOCK_BATCH datagrams of each readable
 * socket (the listening sockets first), sending what each one's batch
 * queued before the next socket is served; then the summaries of the
 * rate-limited log lines whose second is over.
 * 0, or -1 (logged) when the wait failed.
 */
int loop_turn(struct loop *lp, int timeout_ms);

/* The wait of the next turn: none while the last busy turn is recent
 * (with a spin), else until the first of: the oldest held answer due, a
 * late query's stale answer or SERVFAIL due, a cache refresh due, a log
 * summary due. -1 (no time-out) when there is none: an idle forwarder
 * does not wake up. */
int loop_wait_ms(const struct loop *lp);

/* A loop over the forwarder's sockets (socks), opened for main_loop() on
 * the start-up thread; NULL (logged) when its wait set cannot be made. */
struct loop *loop_new(void);
/* Thread body of the event loop: turns `arg` (a loop_new() loop) until
 * loop_stop() is called or the wait fails (logged). */
void *main_loop(void *arg);
/* Asks main_loop() to return after its current turn, waking it from its
 * wait; any thread may call it. */
void loop_stop(struct loop *lp);
/* Closes and frees a loop_new() loop once its thread has returned. */
void loop_delete(struct loop *lp);

#endif
