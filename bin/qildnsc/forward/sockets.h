/*
 * sockets.h -- the forwarder's UDP sockets and their batched datagram I/O:
 * the listening socket `local_fd` (client queries in, answers out; in
 * diversion mode `local6_fd` on [::1] beside it) and the
 * pool of upstream sockets `remote_fds` (queries out to every server,
 * answers in), each on a port of its own that the kernel picks at random.
 *
 * init_sockets() runs once on the start-up thread. Afterwards only the
 * event-loop thread waits, receives and sends: it receives a bounded batch
 * and hands each datagram to intake or relay, which queue what they send
 * with sock_send(); the loop sends every queue through sock_flush() at the
 * end of each turn. Nothing here allocates after start-up, and nothing
 * here is locked.
 *
 * The wait and the batch calls are the platform's own (posix/ and win32/
 * beside this file, chosen by the build, each with a sock_sys.h): on Linux
 * epoll(7), one recvmmsg(2) per receive and one sendmmsg(2) per queue; on
 * Windows select() and one datagram per recvfrom()/sendto() call.
 */
#ifndef QILDNSC_SOCKETS_H
#define QILDNSC_SOCKETS_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "odr.h"
#include "vtc_limit.h"

/* The most datagrams read from one socket in one receive (one loop turn),
 * so that a busy socket can starve neither the other nor the held answers. */
#define SOCK_BATCH 32
/* The largest datagram any socket takes in or sends: 4096 bytes, the EDNS
 * buffer size in common use, so that plain answers up to that size come
 * whole. Encrypted frames stay within their 2 + 512 bytes. */
#define SOCK_DGRAM_MAX 4096
/* Datagrams queued for one socket before its queue is sent. */
#define SOCK_SENDQ_MAX 64
/* Upstream sockets of each address family: each query leaves from one of
 * them at random (IPv6 ones only when an IPv6 server is configured). */
#define UPSTREAM_SOCKETS 8
/* Listening sockets at most: -l's, and in diversion mode [::1]'s. */
#define SOCK_LOCAL_MAX 2
/* Sockets with datagrams queued at one time: the listening sockets and each
 * upstream socket. */
#define SOCK_QUEUES (SOCK_LOCAL_MAX + 2 * UPSTREAM_SOCKETS + 1)
/* Receive buffer asked of the kernel for each socket, for bursts. */
#define SOCK_RCVBUF (1 << 20)
/* Sockets one wait set watches: those of one loop (the TLS thread's
 * channel among them) and its wake socket. */
#define SOCK_WAIT_MAX (SOCK_LOCAL_MAX + 2 * UPSTREAM_SOCKETS + 1)

/* The platform's batch headers and wait set (struct sock_batch_sys,
 * struct sock_sendq_sys, struct sock_waitset). */
#include "sock_sys.h"

/*
 * One receive as a handler sees it: a datagram of `n` bytes, an empty one
 * (`n` 0), or a failed receive (`n` -1 and its error code in `err`; a
 * datagram longer than the receive size is the message-size error, EMSGSIZE,
 * and is lost). `buf` is writable and SOCK_DGRAM_MAX bytes long; it and
 * `from` stay valid until the next receive into the same batch.
 */
struct sock_dgram {
	ssize_t n;
	int err;
	uint8_t *buf;
	struct sockaddr_storage *from;
	socklen_t fromlen;
};

/* Receive batch: owned by its caller (the loop), filled by sock_recv(). */
struct sock_batch {
	unsigned magic;
#define SOCK_BATCH_MAGIC 0x5c0b4a7e
	int n; /* entries of `dg` filled by the last sock_recv() */
	struct sock_dgram dg[SOCK_BATCH];
	struct sock_batch_sys sys;
	struct sockaddr_storage from[SOCK_BATCH];
	uint8_t buf[SOCK_BATCH][SOCK_DGRAM_MAX];
};

/*
 * Upstream sockets have numbers: the IPv4 ones (0 to n_remote_fds - 1),
 * then the IPv6 ones. A query draws one `pick` and leaves from the socket
 * of each server's family that the pick names.
 */
/* The upstream socket of `family` (AF_INET or AF_INET6) named by `pick`,
 * or -1 when none of that family is open. */
int sock_upstream_fd(int family, unsigned pick);
/* True when upstream socket number `sock` is the one of `family` named by
 * `pick`: where the answer to a query with that pick must arrive. */
bool sock_upstream_match(int sock, int family, unsigned pick);
/* Writes every upstream socket in number order to `fds` (room for
 * 2 * UPSTREAM_SOCKETS); their count. */
int sock_upstream_fds(int *fds);

/* The listening socket that answers a client of `family` (AF_INET or
 * AF_INET6): the one of that family when there are two. */
int sock_local_fd(int family);
/* Writes the listening sockets open to `fds` (room for SOCK_LOCAL_MAX);
 * their count. */
int sock_local_fds(int *fds);

/* The listening address and port (-l, -p) resolved into `*res` (the
 * caller's to free with freeaddrinfo()); -1 (logged as QILEC_00690) when
 * they do not resolve. A port may be a service name: the resolver's
 * number of its datagram service, which the TCP listener takes too. */
int sock_listen_resolve(struct addrinfo **res);

/* Makes the sockets' handle (no socket open, every queue empty); tests that
 * hand in sockets of their own call it, start-up through init_sockets(). */
void sock_init(void);
/* Creates the sockets and binds the listening one and each upstream one
 * (to a port the kernel picks); -1 on failure (logged). Start-up thread. */
int init_sockets(void);

/* Makes `b` ready for sock_recv(). */
void sock_batch_init(struct sock_batch *b);

/*
 * Receives up to SOCK_BATCH waiting datagrams of at most `size` bytes
 * (<= SOCK_DGRAM_MAX) from the non-blocking socket `fd` (in one call where
 * the platform has a batch call).
 * Returns the number of entries of b->dg to hand on, at least 1: when the
 * call itself fails (nothing waiting included), the one entry is that
 * failure.
 */
int sock_recv(int fd, size_t size, struct sock_batch *b);

/* True for receive errors that are not worth a log line: the reset a
 * datagram socket reports after an ICMP unreachable, and no data after all. */
bool sock_recv_quiet(int err);

/*
 * Queues a copy of one datagram of `len` (<= SOCK_DGRAM_MAX) bytes for
 * `fd`, to `addr`. The queue is sent when it is full and at sock_flush();
 * a datagram that cannot be sent is logged then as
 * "<code>: sendto(2) error: <errno> <text>" (at most VTC_LIMIT_BURST such
 * lines a second), and the rest are still sent.
 */
void sock_send(int fd, const void *data, size_t len, const void *addr, int32_t addrlen,
               const char *code);

/* Sends everything queued (one call per socket where the platform has a
 * batch call). */
void sock_flush(void);
/* Writes the summary of the rate-limited send errors once their second is
 * over (called on every loop turn). */
void sock_log_flush(double now);

/*
 * A wake socket: a datagram socket on the loopback connected to itself,
 * which a thread that waits without a time-out watches, so that another
 * thread can end its wait (sock_wake()). -1 (logged) when it cannot be
 * made.
 */
int sock_wake_open(void);
/* Ends the wait of the thread that watches `fd`; any thread. */
void sock_wake(int fd);
/* Empties the wake socket `fd` once its wait has ended. */
void sock_wake_drain(int fd);

/*
 * The wait set over `n` (<= SOCK_WAIT_MAX) sockets; -1 (logged) when it
 * cannot be made.
 */
int sock_wait_open(struct sock_waitset *w, const int *fds, int n);
/* Frees the wait set; the sockets it watched stay open. */
void sock_wait_close(struct sock_waitset *w);
/*
 * Waits at most `timeout_ms` (-1: until one is readable) for a readable socket and sets ready[i] for
 * each readable fds[i]; 0 (an interrupted wait included: nothing ready),
 * or -1 (logged) when the wait failed.
 */
int sock_wait(struct sock_waitset *w, bool *ready, int timeout_ms);

/*
 * The send queue of one socket; shared by sockets.cc, which fills it, and
 * the platform's part, which sends it.
 */
struct sock_sendq {
	int fd;
	int n;
	const char *code[SOCK_SENDQ_MAX];
	size_t len[SOCK_SENDQ_MAX];
	socklen_t tolen[SOCK_SENDQ_MAX];
	struct sockaddr_storage to[SOCK_SENDQ_MAX];
	uint8_t buf[SOCK_SENDQ_MAX][SOCK_DGRAM_MAX];
	struct sock_sendq_sys sys;
};

/*
 * The forwarder's sockets and what is queued on them: made by
 * init_sockets() on the start-up thread, then the event-loop thread's.
 */
struct forward_sockets {
	unsigned magic;
#define FORWARD_SOCKETS_MAGIC 0x41c8e05d
	int local_fd;
	/* Diversion mode's listening socket on [::1] port 5353, which
	 * diverted IPv6 queries reach; -1 without one. */
	int local6_fd;
	int remote_fds[UPSTREAM_SOCKETS];   /* IPv4 */
	int n_remote_fds; /* the upstream sockets open (UPSTREAM_SOCKETS once started) */
	int remote6_fds[UPSTREAM_SOCKETS];  /* IPv6 */
	int n_remote6_fds; /* 0 unless an IPv6 server is configured */
	struct vtc_limit sock_send_limit;
	/* A queue for each socket being sent on: the listening socket and
	 * each upstream socket. */
	std::array<struct sock_sendq, SOCK_QUEUES> sock_queues;
};

extern struct forward_sockets socks;

/* Sends the queue and empties it; each datagram that fails is logged with
 * its own code through sock_send_failed() (the platform's part). */
void sock_sendq_flush(struct sock_sendq *q);

/* Logs the failed send of a datagram queued with `code`, rate-limited;
 * called at once, while the socket layer still holds the error's text. */
void sock_send_failed(const char *code, int err);

#endif
