/*
 * win32/sock_io.cc -- the sockets module's wait, batch receive and queue
 * send on Windows. Winsock has no batch call, so a batch is read one
 * recvfrom() at a time until nothing more waits, a queue is sent one
 * sendto() per datagram, and the wait is select().
 *
 * Event-loop thread only.
 */
#include <string.h>

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
	}
}

int
sock_recv(int fd, size_t size, struct sock_batch *b)
{
	CHECK_OBJ_NOTNULL(b, SOCK_BATCH_MAGIC);
	QIL_ASSERT(size <= SOCK_DGRAM_MAX);

	int n = 0;
	while (n < SOCK_BATCH) {
		struct sock_dgram *d = &b->dg[n];
		socklen_t fromlen = sizeof b->from[n];
		ssize_t r = ODR_recvfrom(fd, d->buf, size, 0,
		    reinterpret_cast<struct sockaddr *>(d->from), &fromlen);
		int e = r == -1 ? ODR_sockError() : 0;
		if (r == -1 && e == ODR_EWOULDBLOCK && n > 0)
			break; /* all that waited has been read */
		d->n = r;
		d->err = e;
		d->fromlen = r == -1 ? 0 : fromlen;
		n++;
		/* A long datagram (WSAEMSGSIZE) or the reset an earlier send's
		 * ICMP unreachable left behind concerns one datagram only; any
		 * other failure ends the batch. */
		if (r == -1 && e != WSAEMSGSIZE && !ODR_sockErrorIsReset(e))
			break;
	}
	b->n = n;
	return n;
}

void
sock_sendq_flush(struct sock_sendq *q)
{
	for (int i = 0; i < q->n; i++) {
		ssize_t r;
		do
			r = ODR_sendto(q->fd, q->buf[i], q->len[i], 0,
			    reinterpret_cast<const struct sockaddr *>(&q->to[i]), q->tolen[i]);
		while (r == -1 && ODR_sockError() == ODR_EINTR);
		if (r == -1) {
			int e = ODR_sockError();
			sock_send_failed(q->code[i], e);
		}
	}
	q->n = 0;
}

int
sock_wait_open(struct sock_waitset *w, const int *fds, int n)
{
	QIL_ASSERT(n >= 1 && n <= SOCK_WAIT_MAX);
	w->n = n;
	for (int i = 0; i < n; i++)
		w->fds[i] = fds[i];
	return 0;
}

void
sock_wait_close(struct sock_waitset *w)
{
	w->n = 0;
}

int
sock_wait(struct sock_waitset *w, bool *ready, int timeout_ms)
{
	fd_set rfds;
	struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};

	FD_ZERO(&rfds);
	for (int i = 0; i < w->n; i++)
		FD_SET((SOCKET)w->fds[i], &rfds);
	/* The first argument is ignored by Winsock. */
	if (select(0, &rfds, NULL, NULL, timeout_ms < 0 ? NULL : &tv) == SOCKET_ERROR) {
		int e = ODR_sockError();
		if (e == ODR_EINTR)
			return 0;
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00704: select(2) error: %d %s", e,
		    ODR_sockErrorText());
		return -1;
	}
	for (int i = 0; i < w->n; i++)
		if (FD_ISSET((SOCKET)w->fds[i], &rfds))
			ready[i] = true;
	return 0;
}
