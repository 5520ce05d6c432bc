/*
 * posix/tcp_poll.cc -- the TCP thread's readiness set on Linux: one
 * epoll(7) set, whose events are handed back as they come. Closing a
 * descriptor takes it out of the set.
 */
#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "tcp/tcp_poll.h"
#include "vas.h"

static_assert(TCP_POLL_IN == EPOLLIN && TCP_POLL_OUT == EPOLLOUT &&
    TCP_POLL_ERR == EPOLLERR && TCP_POLL_HUP == EPOLLHUP, "the events are epoll's own");

const char tcp_poll_wait_call[] = "epoll_wait(2)";

struct tcp_poll {
	unsigned magic;
#define TCP_POLL_MAGIC 0x5e0c41b7
	int epfd;
};

struct tcp_poll *
tcp_poll_new(void)
{
	int fd = epoll_create1(EPOLL_CLOEXEC);
	if (fd < 0)
		return NULL;
	auto *p = new tcp_poll();
	p->magic = TCP_POLL_MAGIC;
	p->epfd = fd;
	return p;
}

void
tcp_poll_delete(struct tcp_poll *p)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	(void)close(p->epfd);
	p->magic = 0;
	delete p;
}

static int
tcp_poll_ctl(struct tcp_poll *p, int op, int fd, uint32_t events, void *ptr)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	struct epoll_event ev = {};
	ev.events = events;
	ev.data.ptr = ptr;
	return epoll_ctl(p->epfd, op, fd, &ev);
}

int
tcp_poll_add(struct tcp_poll *p, int fd, uint32_t events, void *ptr)
{
	return tcp_poll_ctl(p, EPOLL_CTL_ADD, fd, events, ptr);
}

void
tcp_poll_mod(struct tcp_poll *p, int fd, uint32_t events, void *ptr)
{
	AZ(tcp_poll_ctl(p, EPOLL_CTL_MOD, fd, events, ptr));
}

void
tcp_poll_close(struct tcp_poll *p, int fd)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	(void)close(fd);
}

int
tcp_poll_wait(struct tcp_poll *p, struct tcp_poll_event *ev, int max, int timeout_ms)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	QIL_ASSERT(max > 0 && max <= 256);
	struct epoll_event evs[256];
	int n = epoll_wait(p->epfd, evs, max, timeout_ms);
	for (int i = 0; i < n; i++) {
		ev[i].ptr = evs[i].data.ptr;
		ev[i].events = evs[i].events;
	}
	return n;
}
