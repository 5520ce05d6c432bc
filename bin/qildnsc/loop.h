/*
 * loop.h -- the event loop: one thread that waits on the listening and the
 * upstream sockets, releases the due held answers on every turn, hands
 * each received datagram to intake or relay, and sends what they queued.
 *
 * The loop knows the handlers; they know only the sockets module.
 */
#ifndef QILDNSC_LOOP_H
#define QILDNSC_LOOP_H

#include "sockets.h"

/* The longest wait of one turn: held answers are released at most this
 * late when both sockets are idle. */
#define SELECT_TIMEOUT_USEC 50000

/* Sockets one loop serves: the listening socket first, then the upstream
 * sockets. */
#define LOOP_FDS_MAX (1 + UPSTREAM_SOCKETS)

struct loop {
	unsigned magic;
#define LOOP_MAGIC 0x1e0b7d35
	struct sock_waitset wait;
	int nfds;
	int fds[LOOP_FDS_MAX];   /* [0] listening, [1..] upstream */
	struct sock_batch batch; /* the datagrams of the socket being served */
};

/*
 * Sets up `lp` to serve `local` and the `n_upstream` upstream sockets of
 * `upstream`; -1 (logged) when the wait set cannot be made.
 */
int loop_open(struct loop *lp, int local, const int *upstream, int n_upstream);
void loop_close(struct loop *lp);

/*
 * One turn: wait at most `timeout_ms` for a readable socket, release the
 * due held answers, serve at most SOCK_BATCH datagrams of each readable
 * socket (the listening socket first), sending what each one's batch
 * queued before the next socket is served; then the summaries of the
 * rate-limited log lines whose second is over.
 * 0, or -1 (logged) when the wait failed.
 */
int loop_turn(struct loop *lp, int timeout_ms);

/* Thread body of the event loop over local_fd and remote_fds; returns only
 * after a failure of the wait. */
void *main_loop(void *arg);

#endif
