/*
 * tcp_watch.h -- what the TCP thread's readiness set (tcp_poll.h) points
 * at: one socket of the listener, a client or an upstream connection, with
 * the callback that takes its ready events (TCP_POLL_*) and the record the
 * callback works on.
 *
 * TCP thread only (tcp_server.h). The set hands the pointer back untyped,
 * so it is checked here before anything is called through it.
 */
#ifndef QILDNSC_TCP_WATCH_H
#define QILDNSC_TCP_WATCH_H

#include <stdint.h>

#include "vas.h"

/* Takes the ready `events` of a watch; `priv` is the watch's record. */
typedef void tcp_watch_f(void *priv, uint32_t events);

/* A watch whose descriptor is closed has `fd` -1 and ignores the events
 * still queued for it in the same turn. */
struct tcp_watch {
	unsigned magic;
#define TCP_WATCH_MAGIC 0x8a3947ea
	tcp_watch_f *cb;
	void *priv;
	int fd;
};

/* Makes `w` a watch of `fd` that calls `cb` with `priv`. */
inline void
tcp_watch_init(struct tcp_watch *w, int fd, tcp_watch_f *cb, void *priv)
{
	AN(w);
	AN(cb);
	w->magic = TCP_WATCH_MAGIC;
	w->cb = cb;
	w->priv = priv;
	w->fd = fd;
}

/* Hands `events` to the watch at `ptr`, a pointer that the readiness set
 * gave back; stops the process when `ptr` is not a watch. */
inline void
tcp_watch_fire(void *ptr, uint32_t events)
{
	struct tcp_watch *w;

	CAST_OBJ_NOTNULL(w, ptr, TCP_WATCH_MAGIC);
	if (w->fd >= 0)
		w->cb(w->priv, events);
}

#endif
