/*
 * sockets.cc -- the listening and upstream sockets, a batch of datagrams
 * received with one recvmmsg(2), and the send queues that go out with one
 * sendmmsg(2) per socket.
 *
 * init_sockets() runs on the start-up thread; everything else on the
 * event-loop thread only.
 */
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "diversion.h"
#include "qildnsc.h"
#include "sockets.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtcp.h"

int local_fd = -1;
int remote_fds[UPSTREAM_SOCKETS] = {-1, -1, -1, -1, -1, -1, -1, -1};
int n_remote_fds;

/* A client may give any source address, so the send errors it causes are
 * rate-limited. */
static struct vtc_limit sock_send_limit =
    VTC_LIMIT_INIT("sendto(2) error", VTCLOG_ERROR);

/* What is queued for one socket. */
struct sock_sendq {
	int fd;
	int n;
	const char *code[SOCK_SENDQ_MAX];
	struct mmsghdr hdr[SOCK_SENDQ_MAX];
	struct iovec iov[SOCK_SENDQ_MAX];
	struct sockaddr_storage to[SOCK_SENDQ_MAX];
	uint8_t buf[SOCK_SENDQ_MAX][SOCK_DGRAM_MAX];
};

/* A queue for each socket being sent on: the listening socket and the
 * upstream socket. */
static std::array<struct sock_sendq, SOCK_QUEUES> sock_queues;

/* A bigger receive buffer than the default, so that a burst of queries or
 * answers waits in the kernel instead of being dropped there. */
static void
sock_rcvbuf(int fd)
{
	int size = SOCK_RCVBUF;

	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_WARN, "QILEC_00868: setsockopt(2) SO_RCVBUF error: %d %s", e,
		    ODR_sockErrorText());
	}
}

/* One upstream socket, bound to a port of the kernel's random choice. */
static int
open_upstream_socket(int *fdp)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17);
	QIL_ASSERT(fd >= 0);
	*fdp = fd;
	int r = VTCP_nonblocking(fd);
	QIL_ASSERT(r == 0);
	sock_rcvbuf(fd);
	if (dnsc_conf.use_windivert) {
		/* Marked, so that diversion never turns our own upstream queries
		 * back to us. */
		int mark = QILDNSC_UPSTREAM_MARK;
		if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
			int e = ODR_sockError();
			vtc_log(vl, VTCLOG_WARN, "[WARN] setsockopt(2) SO_MARK error: %d %s", e,
			    ODR_sockErrorText());
		}
	}
	struct sockaddr_in any = {};
	any.sin_family = AF_INET;
	any.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&any), sizeof any) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00881: bind(2) of an upstream socket error: %d %s",
		    e, ODR_sockErrorText());
		return -1;
	}
	return 0;
}

int
init_sockets(void)
{
	struct addrinfo hints = {}, *res = NULL;
	int r;

	local_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17);
	QIL_ASSERT(local_fd >= 0);
	r = VTCP_nonblocking(local_fd);
	QIL_ASSERT(r == 0);
	/* No SO_REUSEADDR: on a datagram socket it would let a second
	 * program bind this address and port and quietly take the queries. */
	sock_rcvbuf(local_fd);

	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	r = getaddrinfo(dnsc_conf.listen_addr, dnsc_conf.listen_port, &hints, &res);
	if (r != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00690: getaddrinfo(3) for %s:%s error: %s",
		    dnsc_conf.listen_addr, dnsc_conf.listen_port, gai_strerror(r));
		return -1;
	}
	if (bind(local_fd, res->ai_addr, res->ai_addrlen) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00691: bind(2) for %s:%s error: %d %s",
		    dnsc_conf.listen_addr, dnsc_conf.listen_port, e, ODR_sockErrorText());
		freeaddrinfo(res);
		return -1;
	}
	freeaddrinfo(res);

	for (int i = 0; i < UPSTREAM_SOCKETS; i++) {
		if (open_upstream_socket(&remote_fds[i]) != 0)
			return -1;
		n_remote_fds = i + 1;
	}

	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Listening on %s:%s", dnsc_conf.listen_addr,
	    dnsc_conf.listen_port);
	return 0;
}

void
sock_batch_init(struct sock_batch *b)
{
	memset(b, 0, sizeof *b);
	b->magic = SOCK_BATCH_MAGIC;
	for (size_t i = 0; i < SOCK_BATCH; i++) {
		b->dg[i].buf = b->buf[i];
		b->dg[i].from = &b->from[i];
		b->iov[i].iov_base = b->buf[i];
		struct msghdr *mh = &b->hdr[i].msg_hdr;
		mh->msg_name = &b->from[i];
		mh->msg_iov = &b->iov[i];
		mh->msg_iovlen = 1;
	}
}

int
sock_recv(int fd, size_t size, struct sock_batch *b)
{
	CHECK_OBJ_NOTNULL(b, SOCK_BATCH_MAGIC);
	QIL_ASSERT(size <= SOCK_DGRAM_MAX);

	/* What the last receive changed. */
	for (size_t i = 0; i < SOCK_BATCH; i++) {
		b->iov[i].iov_len = size;
		b->hdr[i].msg_hdr.msg_namelen = sizeof b->from[i];
	}
	int r;
	do
		r = recvmmsg(fd, b->hdr, SOCK_BATCH, MSG_DONTWAIT, NULL);
	while (r == -1 && errno == EINTR);
	if (r <= 0) {
		/* An error met after the first datagram is kept by the kernel
		 * for the next call, so it is reported all the same. */
		b->dg[0].n = -1;
		b->dg[0].err = r == 0 ? EAGAIN : ODR_sockError();
		b->dg[0].fromlen = 0;
		b->n = 1;
		return 1;
	}
	for (int i = 0; i < r; i++) {
		struct sock_dgram *d = &b->dg[i];
		d->fromlen = b->hdr[i].msg_hdr.msg_namelen;
		if (b->hdr[i].msg_hdr.msg_flags & MSG_TRUNC) {
			/* The rest of the datagram is gone; never hand on a torso. */
			d->n = -1;
			d->err = EMSGSIZE;
		} else {
			d->n = (ssize_t)b->hdr[i].msg_len;
			d->err = 0;
		}
	}
	b->n = r;
	return r;
}

bool
sock_recv_quiet(int err)
{
	return ODR_sockErrorIsReset(err) || err == EAGAIN || err == EINTR;
}

/* Sends the queue; each datagram that fails is logged with its own code. */
static void
sock_flush_queue(struct sock_sendq *q)
{
	int i = 0;

	while (i < q->n) {
		int r = sendmmsg(q->fd, &q->hdr[i], (unsigned)(q->n - i), 0);
		if (r > 0) {
			/* Sent up to the first failure, which the next call
			 * reports for its own datagram. */
			i += r;
			continue;
		}
		int e = ODR_sockError();
		if (r == -1 && e == EINTR)
			continue;
		vtc_limit_log(&sock_send_limit, vl, "%s: sendto(2) error: %d %s", q->code[i], e,
		    ODR_sockErrorText());
		i++;
	}
	q->n = 0;
}

/* The queue of `fd`: the one holding its datagrams, or an empty one. */
static struct sock_sendq *
sock_queue_of(int fd)
{
	struct sock_sendq *empty = NULL;

	for (auto &q : sock_queues) {
		if (q.n > 0 && q.fd == fd)
			return &q;
		if (q.n == 0 && empty == NULL)
			empty = &q;
	}
	if (empty == NULL) {
		/* More sockets than queues: make room. */
		empty = &sock_queues[0];
		sock_flush_queue(empty);
	}
	empty->fd = fd;
	return empty;
}

void
sock_send(int fd, const void *data, size_t len, const void *addr, int32_t addrlen,
          const char *code)
{
	QIL_ASSERT(len <= SOCK_DGRAM_MAX);
	struct sock_sendq *q = sock_queue_of(fd);
	int i = q->n++;
	memcpy(q->buf[i], data, len);
	q->iov[i] = {q->buf[i], len};
	size_t alen = addrlen > 0 ? std::min((size_t)addrlen, sizeof q->to[i]) : 0;
	memcpy(&q->to[i], addr, alen);
	q->code[i] = code;
	struct msghdr *mh = &q->hdr[i].msg_hdr;
	*mh = {};
	mh->msg_name = &q->to[i];
	/* As given: a length the socket layer refuses fails this datagram. */
	mh->msg_namelen = (socklen_t)addrlen;
	mh->msg_iov = &q->iov[i];
	mh->msg_iovlen = 1;
	if (q->n == SOCK_SENDQ_MAX)
		sock_flush_queue(q);
}

void
sock_flush(void)
{
	for (auto &q : sock_queues)
		if (q.n > 0)
			sock_flush_queue(&q);
}

void
sock_log_flush(double now)
{
	vtc_limit_flush(&sock_send_limit, vl, now);
}
