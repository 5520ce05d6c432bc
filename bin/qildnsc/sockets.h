/*
 * sockets.h -- the forwarder's UDP sockets and their batched datagram I/O:
 * the listening socket `local_fd` (client queries in, answers out) and the
 * pool of upstream sockets `remote_fds` (queries out to every server,
 * answers in), each on a port of its own that the kernel picks at random.
 *
 * init_sockets() runs once on the start-up thread. Afterwards only the
 * event-loop thread receives and sends: it receives a bounded batch with
 * one recvmmsg(2) and hands each datagram to intake or relay, which queue
 * what they send with sock_send(); the loop sends every queue with one
 * sendmmsg(2) per socket through sock_flush() at the end of each turn.
 * Nothing here allocates after start-up, and nothing here is locked.
 */
#ifndef QILDNSC_SOCKETS_H
#define QILDNSC_SOCKETS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

/* The most datagrams read from one socket in one receive (one loop turn),
 * so that a busy socket can starve neither the other nor the held answers. */
#define SOCK_BATCH 32
/* The largest datagram any socket takes in or sends: 4096 bytes, the EDNS
 * buffer size in common use, so that plain answers up to that size come
 * whole. Encrypted frames stay within their 2 + 512 bytes. */
#define SOCK_DGRAM_MAX 4096
/* Datagrams queued for one socket before its queue is sent. */
#define SOCK_SENDQ_MAX 64
/* Upstream sockets: each query leaves from one of them at random. */
#define UPSTREAM_SOCKETS 8
/* Sockets with datagrams queued at one time: the listening socket and each
 * upstream socket. */
#define SOCK_QUEUES (1 + UPSTREAM_SOCKETS)
/* Receive buffer asked of the kernel for each socket, for bursts. */
#define SOCK_RCVBUF (1 << 20)

extern int local_fd;
extern int remote_fds[UPSTREAM_SOCKETS];
extern int n_remote_fds; /* the upstream sockets open (UPSTREAM_SOCKETS once started) */

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
	struct mmsghdr hdr[SOCK_BATCH];
	struct iovec iov[SOCK_BATCH];
	struct sockaddr_storage from[SOCK_BATCH];
	uint8_t buf[SOCK_BATCH][SOCK_DGRAM_MAX];
};

/* Creates the sockets and binds the listening one and each upstream one
 * (to a port the kernel picks); -1 on failure (logged). */
int init_sockets(void);

/* Makes `b` ready for sock_recv(). */
void sock_batch_init(struct sock_batch *b);

/*
 * Receives up to SOCK_BATCH waiting datagrams of at most `size` bytes
 * (<= SOCK_DGRAM_MAX) from the non-blocking socket `fd` in one call.
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

/* Sends everything queued, one sendmmsg(2) per socket. */
void sock_flush(void);
/* Writes the summary of the rate-limited send errors once their second is
 * over (called on every loop turn). */
void sock_log_flush(double now);

#endif
