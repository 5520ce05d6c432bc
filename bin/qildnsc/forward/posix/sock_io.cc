/*
 * posix/sock_io.cc -- the sockets module's wait, batch receive and queue
 * send on Linux: epoll(7), one recvmmsg(2) per batch, one sendmmsg(2) per
 * queue.
 *
 * Event-loop thread only.
 */
#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/qildnsc.h"
#include "forward/sockets.h"
#include "vtc_log.h"

void
sock_batch_init(struct sock_batch *b)
{
	memset(b, 0, sizeof *b);
	b->magic = SOCK_BATCH_MAGIC;
	for (size_t i = 0; i < SOCK_BATCH; i++) {
		b->dg[i].buf = b->buf[i];
		b->dg[i].from = &b->from[i];
		b->sys.iov[i].iov_base = b->buf[i];
		struct msghdr *mh = &b->sys.hdr[i].msg_hdr;
		mh->msg_name = &b->from[i];
		mh->msg_iov = &b->sys.iov[i];
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
		b->sys.iov[i].iov_len = size;
		b->sys.hdr[i].msg_hdr.msg_namelen = sizeof b->from[i];
	}
	int r;
	do
		r = recvmmsg(fd, b->sys.hdr, SOCK_BATCH, MSG_DONTWAIT, NULL);
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
		d->fromlen = b->sys.hdr[i].msg_hdr.msg_namelen;
		if (b->sys.hdr[i].msg_hdr.msg_flags & MSG_TRUNC) {
			/* The rest of the datagram is gone; never hand on a torso. */
			d->n = -1;
			d->err = EMSGSIZE;
		} else {
			d->n = (ssize_t)b->sys.hdr[i].msg_len;
			d->err = 0;
		}
	}
	b->n = r;
	return r;
}

void
sock_sendq_flush(struct sock_sendq *q)
{
	for (int i = 0; i < q->n; i++) {
		q->sys.iov[i] = {q->buf[i], q->len[i]};
		struct msghdr *mh = &q->sys.hdr[i].msg_hdr;
		*mh = {};
		mh->msg_name = &q->to[i];
		mh->msg_namelen = q->tolen[i];
		mh->msg_iov = &q->sys.iov[i];
		mh->msg_iovlen = 1;
	}
	int i = 0;
	while (i < q->n) {
		int r = sendmmsg(q->fd, &q->sys.hdr[i], (unsigned)(q->n - i), 0);
		if (r > 0) {
			/* Sent up to the first failure, which the next call
			 * reports for its own datagram. */
			i += r;
			continue;
		}
		int e = ODR_sockError();
		if (r == -1 && e == EINTR)
			continue;
		sock_send_failed(q->code[i], e);
		i++;
	}
	q->n = 0;
}

int
sock_wait_open(struct sock_waitset *w, const int *fds, int n)
{
	QIL_ASSERT(n >= 1 && n <= SOCK_WAIT_MAX);
	w->n = n;
	w->epfd = epoll_create1(EPOLL_CLOEXEC);
	if (w->epfd == -1) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00869: epoll_create1(2) error: %d %s", e,
		    ODR_sockErrorText());
		return -1;
	}
	for (int i = 0; i < n; i++) {
		struct epoll_event ev = {};
		ev.events = EPOLLIN;
		ev.data.u32 = (uint32_t)i;
		if (epoll_ctl(w->epfd, EPOLL_CTL_ADD, fds[i], &ev) == -1) {
			int e = ODR_sockError();
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00870: epoll_ctl(2) error: %d %s", e,
			    ODR_sockErrorText());
			sock_wait_close(w);
			return -1;
		}
	}
	return 0;
}

void
sock_wait_close(struct sock_waitset *w)
{
	if (w->epfd >= 0)
		(void)close(w->epfd);
	w->epfd = -1;
}

int
sock_wait(struct sock_waitset *w, bool *ready, int timeout_ms)
{
	struct epoll_event ev[SOCK_WAIT_MAX];

	int n = epoll_wait(w->epfd, ev, SOCK_WAIT_MAX, timeout_ms);
	if (n == -1) {
		int e = ODR_sockError();
		if (e == EINTR)
			return 0;
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00704: epoll_wait(2) error: %d %s", e,
		    ODR_sockErrorText());
		return -1;
	}
	for (int i = 0; i < n; i++)
		ready[ev[i].data.u32] = true;
	return 0;
}
