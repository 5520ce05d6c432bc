/*
 * win32/tcp_poll.cc -- the TCP thread's readiness set on Windows: the
 * sockets with their events in an array, and each wait a select() over
 * them. select() rather than WSAPoll(), which never reports a connect that
 * failed; select() reports it in the exception set, handed back here as
 * TCP_POLL_ERR (SO_ERROR then says why).
 *
 * Winsock's fd_set is a count and an array of sockets, FD_SETSIZE long:
 * raised here, before any Winsock header, to the largest set.
 */
#define TCP_POLL_MAX 1024
#define FD_SETSIZE TCP_POLL_MAX

#include <unordered_map>
#include <vector>

#include "odr.h"
#include "tcp/tcp_poll.h"
#include "vas.h"

const char tcp_poll_wait_call[] = "select()";

struct tcp_poll_entry {
	SOCKET s;
	uint32_t events;
	void *ptr;
	uint32_t ready;
};

struct tcp_poll {
	unsigned magic;
#define TCP_POLL_MAGIC 0x5e0c41b7
	std::vector<tcp_poll_entry> entries;
	std::unordered_map<SOCKET, size_t> index; /* socket -> its entry */
	size_t turn; /* where the next wait starts handing back */
	fd_set rd, wr, ex;
};

struct tcp_poll *
tcp_poll_new(void)
{
	auto *p = new tcp_poll();
	p->magic = TCP_POLL_MAGIC;
	p->entries.reserve(TCP_POLL_MAX);
	return p;
}

void
tcp_poll_delete(struct tcp_poll *p)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	p->magic = 0;
	delete p;
}

int
tcp_poll_add(struct tcp_poll *p, int fd, uint32_t events, void *ptr)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	if (p->entries.size() >= TCP_POLL_MAX) {
		ODR_setSockError(WSAEMFILE);
		return -1;
	}
	SOCKET s = (SOCKET)fd;
	QIL_ASSERT(p->index.count(s) == 0);
	p->index[s] = p->entries.size();
	p->entries.push_back({s, events, ptr, 0});
	return 0;
}

void
tcp_poll_mod(struct tcp_poll *p, int fd, uint32_t events, void *ptr)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	auto it = p->index.find((SOCKET)fd);
	QIL_ASSERT(it != p->index.end());
	p->entries[it->second].events = events;
	p->entries[it->second].ptr = ptr;
}

void
tcp_poll_close(struct tcp_poll *p, int fd)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	auto it = p->index.find((SOCKET)fd);
	if (it != p->index.end()) {
		/* The last entry fills the hole. */
		size_t i = it->second;
		p->index.erase(it);
		if (i + 1 < p->entries.size()) {
			p->entries[i] = p->entries.back();
			p->index[p->entries[i].s] = i;
		}
		p->entries.pop_back();
	}
	(void)ODR_closesocket(fd);
}

/* Marks the entries of the sockets `set` holds ready for `events`. */
static void
tcp_poll_mark(struct tcp_poll *p, const fd_set *set, uint32_t events)
{
	for (u_int i = 0; i < set->fd_count; i++) {
		auto it = p->index.find(set->fd_array[i]);
		if (it != p->index.end())
			p->entries[it->second].ready |= events;
	}
}

int
tcp_poll_wait(struct tcp_poll *p, struct tcp_poll_event *ev, int max, int timeout_ms)
{
	CHECK_OBJ_NOTNULL(p, TCP_POLL_MAGIC);
	QIL_ASSERT(max > 0 && timeout_ms >= -1);
	FD_ZERO(&p->rd);
	FD_ZERO(&p->wr);
	FD_ZERO(&p->ex);
	for (const auto &e : p->entries) {
		if (e.events & TCP_POLL_IN)
			FD_SET(e.s, &p->rd);
		if (e.events & TCP_POLL_OUT) {
			FD_SET(e.s, &p->wr);
			FD_SET(e.s, &p->ex);
		}
	}
	if (p->rd.fd_count + p->wr.fd_count == 0) {
		/* select() fails on empty sets: nothing to watch, just the wait. */
		Sleep(timeout_ms < 0 ? INFINITE : (DWORD)timeout_ms);
		return 0;
	}
	struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
	/* The first argument is ignored by Winsock. */
	int r = select(0, &p->rd, &p->wr, &p->ex, timeout_ms < 0 ? NULL : &tv);
	if (r == SOCKET_ERROR)
		return -1;
	if (r == 0)
		return 0;
	tcp_poll_mark(p, &p->rd, TCP_POLL_IN);
	tcp_poll_mark(p, &p->wr, TCP_POLL_OUT);
	tcp_poll_mark(p, &p->ex, TCP_POLL_ERR);
	/* Sockets beyond `max` stay ready and come with the next wait, which
	 * starts one entry further on, so that none waits for ever. */
	int n = 0;
	size_t count = p->entries.size(), start = p->turn++ % count;
	for (size_t k = 0; k < count; k++) {
		auto &e = p->entries[(start + k) % count];
		if (e.ready != 0 && n < max) {
			ev[n].ptr = e.ptr;
			ev[n].events = e.ready;
			n++;
		}
		e.ready = 0;
	}
	return n;
}
