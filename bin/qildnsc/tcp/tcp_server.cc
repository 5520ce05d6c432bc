/*
 * tcp_server.cc -- the TCP listener and the thread that serves its clients
 * (tcp_client.cc) with one readiness set (tcp_poll.h): the listening
 * socket, every client connection and every upstream socket of their
 * queries (tcp_query.cc), each behind a tcp_watch. A new connection is let
 * in within the limits per address and in all, an idle one (else one that
 * takes none of its answers) making room when all are taken. Each turn handles the ready descriptors, then walks
 * the clients for the clocks (held answers, time-outs, deadlines) and
 * frees what was closed during the turn.
 *
 * Everything here belongs to the TCP thread after init_tcp(); complaints
 * that a client can trigger are rate-limited.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "odr.h"
#include "common/qildnsc.h"
#include "divert/divert_rewrite.h"
#include "divert/diversion.h"
#include "forward/sockets.h"
#include "tcp/tcp_client.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_server.h"
#include "tcp/tcp_sys.h"
#include "tcp/tcp_watch.h"
#include "vss.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtim.h"

/* Connections taken per turn, so that a flood cannot starve the rest. */
#define TCP_ACCEPT_BATCH 16
/* Connections the system completes before the thread takes them: a burst
 * of newcomers (abusers reconnecting as they are closed) waits there
 * instead of having its handshakes dropped and retried a second later. */
#define TCP_LISTEN_BACKLOG 1024
#define TCP_EVENTS 64

/* The one server, for tcp_thread(), which the shell starts without an
 * argument. */
static struct tcp_server *tcps;

/* Asks the readiness set for `events` on `w`. */
static void
tcps_watch(struct tcp_server *ts, struct tcp_watch *w, uint32_t events)
{
	tcp_poll_mod(ts->poll, w->fd, events, w);
}

/* Stops taking connections for a while: the waiting one stays readable,
 * and would be reported again at once. */
static void
tcps_listener_pause(struct tcp_server *ts)
{
	tcps_watch(ts, &ts->listener, 0);
	if (ts->listener6.fd >= 0)
		tcps_watch(ts, &ts->listener6, 0);
	ts->listener_paused = true;
	ts->listener_resume = ts->now + 0.1;
}

static void
tcps_accept_fail(struct tcp_server *ts, int e)
{
	vtc_limit_log(&ts->lim_accept, vl, "QILEC_00822: TCP accept(2) error: %d %s", e,
	    tcp_sys_strerror(e));
	tcps_listener_pause(ts);
}

/*
 * The client that makes room for a newcomer when every slot is taken: the
 * oldest idle one, else the one whose answers have waited longest to be
 * taken; NULL when every one is busy with queries. A client is idle only
 * once it has been read: not one accepted in this turn, nor one whose
 * query has come meanwhile, as a newcomer's first query often has.
 */
static struct tcp_client *
tcps_victim(struct tcp_server *ts)
{
	struct tcp_client *stalled = NULL;

	for (const auto &c : ts->clients) {
		if (c->w.fd < 0 || c->accepted == ts->now)
			continue;
		if (tcp_client_idle(c.get()))
			tcp_client_read(c.get());
		/* Idle, or gone meanwhile, which leaves its slot free. */
		if (c->w.fd < 0 || tcp_client_idle(c.get()))
			return c.get();
		if (tcp_client_output_waits(c.get()) &&
		    (stalled == NULL || c->out_since < stalled->out_since))
			stalled = c.get();
	}
	return stalled;
}

/* True when `a` and `b` are the same host's address (ports aside). */
static bool
tcps_same_address(const struct sockaddr_storage *a, const struct sockaddr_storage *b)
{
	if (a->ss_family != b->ss_family)
		return false;
	if (a->ss_family == AF_INET)
		return reinterpret_cast<const struct sockaddr_in *>(a)->sin_addr.s_addr ==
		    reinterpret_cast<const struct sockaddr_in *>(b)->sin_addr.s_addr;
	if (a->ss_family == AF_INET6)
		return memcmp(&reinterpret_cast<const struct sockaddr_in6 *>(a)->sin6_addr,
		    &reinterpret_cast<const struct sockaddr_in6 *>(b)->sin6_addr,
		    sizeof(struct in6_addr)) == 0;
	return true;
}

/*
 * Makes room for a connection from `name` (address `peer`): false (logged)
 * when its address has all the connections it may have, or when every
 * slot is busy with queries; when all are taken, the victim of
 * tcps_victim() is closed for it. The loopback has no limit of its own:
 * every local application comes from it, diverted ones included.
 */
static bool
tcps_admit(struct tcp_server *ts, const struct sockaddr_storage *peer, const char *name)
{
	size_t open = 0, same = 0;
	bool limited = !VSS_is_loopback(peer);

	for (const auto &c : ts->clients) {
		open += c->w.fd >= 0;
		same += limited && c->w.fd >= 0 && tcps_same_address(&c->addr, peer);
	}
	if (same >= TCP_CLIENTS_PER_ADDRESS) {
		vtc_limit_log(&ts->lim_address, vl,
		    "QILEC_00832: Too many TCP clients from one address (%d): connection from %s refused.",
		    TCP_CLIENTS_PER_ADDRESS, name);
		return false;
	}
	if (open < TCP_CLIENTS_MAX)
		return true;
	struct tcp_client *victim = tcps_victim(ts);
	if (victim == NULL) {
		vtc_limit_log(&ts->lim_full, vl,
		    "QILEC_00823: Too many TCP clients (%d): connection from %s refused.",
		    TCP_CLIENTS_MAX, name);
		return false;
	}
	if (victim->w.fd < 0)
		return true;
	if (tcp_client_idle(victim)) {
		vtc_limit_log(&ts->lim_evict, vl,
		    "QILEC_00833: TCP clients full (%d): idle connection from %s closed for one from %s.",
		    TCP_CLIENTS_MAX, victim->name, name);
		tcp_client_close(victim);
	} else {
		vtc_limit_log(&ts->lim_evict_stalled, vl,
		    "QILEC_00840: TCP clients full (%d): %s, which takes none of its answers, reset for %s.",
		    TCP_CLIENTS_MAX, victim->name, name);
		tcp_client_abort(victim);
	}
	return true;
}

static void
tcps_accept_one(struct tcp_server *ts, int fd, const struct sockaddr_storage *ss)
{
	char name[64];

	(void)VSS_addr_text(ss, sizeof(struct sockaddr_storage), name, sizeof name);
	if (!tcps_admit(ts, ss, name)) {
		(void)ODR_closesocket(fd);
		return;
	}
	auto c = tcp_client_new(ts, fd, ss);
	/* A set that cannot take one more socket is out of room like a
	 * process out of descriptors. */
	if (c == nullptr) {
		tcps_accept_fail(ts, ODR_sockError());
		return;
	}
	ts->clients.push_back(std::move(c));
}

static void
tcps_accept_on(struct tcp_server *ts, const struct tcp_watch *listener)
{
	for (int i = 0; i < TCP_ACCEPT_BATCH; i++) {
		struct sockaddr_storage ss = {};
		int fd = tcp_sys_accept(listener->fd, &ss);
		if (fd >= 0) {
			tcps_accept_one(ts, fd, &ss);
			if (ts->listener_paused)
				return;
			continue;
		}
		int e = ODR_sockError();
		if (tcp_sys_accept_again(e))
			return;
		/* Out of descriptors, most likely: pause instead of spinning. */
		tcps_accept_fail(ts, e);
		return;
	}
}

/* The wait of the next turn in milliseconds: until the first clock of the
 * listener, a client or a query is due; -1 when none is. */
static int
tcps_wait_ms(struct tcp_server *ts)
{
	double next = HUGE_VAL;

	for (const auto &c : ts->clients)
		next = std::min(next, tcp_client_next(c.get()));
	if (ts->listener_paused)
		next = std::min(next, ts->listener_resume);
	int ms = -1;
	if (next != HUGE_VAL)
		ms = (int)std::clamp((next - ts->now) * 1000.0 + 1.0, 0.0, 86400e3);
	if (vtc_limit_pending() && (ms < 0 || ms > TCP_LIMIT_WAIT_MSEC))
		ms = TCP_LIMIT_WAIT_MSEC;
	return ms;
}

/* The wake socket is readable: tcp_stop() wants the thread to look. */
static void
tcps_woken(void *priv, uint32_t events)
{
	struct tcp_server *ts;

	CAST_OBJ_NOTNULL(ts, priv, TCP_SERVER_MAGIC);
	(void)events;
	sock_wake_drain(ts->waker.fd);
}

static void
tcps_accept(void *priv, uint32_t events)
{
	struct tcp_server *ts;

	CAST_OBJ_NOTNULL(ts, priv, TCP_SERVER_MAGIC);
	(void)events;
	tcps_accept_on(ts, &ts->listener);
}

static void
tcps_accept6(void *priv, uint32_t events)
{
	struct tcp_server *ts;

	CAST_OBJ_NOTNULL(ts, priv, TCP_SERVER_MAGIC);
	(void)events;
	tcps_accept_on(ts, &ts->listener6);
}

static void
tcps_sweep(struct tcp_server *ts)
{
	for (auto it = ts->clients.begin(); it != ts->clients.end();) {
		struct tcp_client *c = it->get();
		if (c->w.fd >= 0)
			tcp_client_sweep(c);
		if (c->w.fd >= 0) {
			++it;
			continue;
		}
		tcp_client_delete(std::move(*it));
		it = ts->clients.erase(it);
	}
	for (auto *lim : {&ts->lim_accept, &ts->lim_full, &ts->lim_parse, &ts->lim_send,
	    &ts->lim_address, &ts->lim_evict, &ts->lim_evict_stalled, &ts->lim_message,
	    &ts->lim_stalled})
		vtc_limit_flush(lim, vl, ts->now);
	tcp_query_env_flush_logs(&ts->queries, ts->now);
	if (ts->listener_paused && ts->now >= ts->listener_resume) {
		ts->listener_paused = false;
		tcps_watch(ts, &ts->listener, TCP_POLL_IN);
		if (ts->listener6.fd >= 0)
			tcps_watch(ts, &ts->listener6, TCP_POLL_IN);
	}
}

/* The handle around the listening socket `fd`, bound and listening. */
static struct tcp_server *
tcps_new(int fd)
{
	auto *ts = new tcp_server();
	ts->magic = TCP_SERVER_MAGIC;
	ts->poll = tcp_poll_new();
	AN(ts->poll);
	tcp_watch_init(&ts->listener, fd, tcps_accept, ts);
	AZ(tcp_poll_add(ts->poll, fd, TCP_POLL_IN, &ts->listener));
	tcp_watch_init(&ts->listener6, -1, tcps_accept6, ts);
	tcp_query_env_init(&ts->queries, ts->poll);
	int wfd = sock_wake_open();
	QIL_ASSERT(wfd >= 0);
	tcp_watch_init(&ts->waker, wfd, tcps_woken, ts);
	AZ(tcp_poll_add(ts->poll, wfd, TCP_POLL_IN, &ts->waker));
	ts->lim_accept = VTC_LIMIT_INIT("QILEC_00822", VTCLOG_ERROR);
	ts->lim_full = VTC_LIMIT_INIT("QILEC_00823", VTCLOG_WARN);
	ts->lim_parse = VTC_LIMIT_INIT("QILEC_00824", VTCLOG_WARN);
	ts->lim_send = VTC_LIMIT_INIT("QILEC_00829", VTCLOG_WARN);
	ts->lim_address = VTC_LIMIT_INIT("QILEC_00832", VTCLOG_WARN);
	ts->lim_evict = VTC_LIMIT_INIT("QILEC_00833", VTCLOG_WARN);
	ts->lim_evict_stalled = VTC_LIMIT_INIT("QILEC_00840", VTCLOG_WARN);
	ts->lim_message = VTC_LIMIT_INIT("QILEC_00834", VTCLOG_WARN);
	ts->lim_stalled = VTC_LIMIT_INIT("QILEC_00835", VTCLOG_WARN);
	return ts;
}

/*
 * Diversion mode redirects IPv6 connections to [::1] port 5353: a
 * listener there beside the first. Without it (no IPv6 on the machine)
 * DNS over TCP over IPv6 is left where it was sent, and the rest goes on.
 */
static void
tcps_listen6(struct tcp_server *ts)
{
	struct sockaddr_in6 lo = {};
	lo.sin6_family = AF_INET6;
	lo.sin6_addr = in6addr_loopback;
	lo.sin6_port = htons(DIVERT_LISTEN_PORT);
	int on = 1;
	int fd = tcp_sys_socket(AF_INET6);
	if (fd >= 0) {
		tcp_sys_listener_options(fd);
		/* Connections to a link-local server come through the queue,
		 * and their replies go back through it (divert_rewrite.h). */
		tcp_sys_divert_listener(fd);
		ts->listener6.fd = fd;
		if (ODR_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0 &&
		    bind(fd, reinterpret_cast<struct sockaddr *>(&lo), sizeof lo) == 0 &&
		    listen(fd, TCP_LISTEN_BACKLOG) == 0 &&
		    tcp_poll_add(ts->poll, fd, TCP_POLL_IN, &ts->listener6) == 0)
			return;
	}
	int e = ODR_sockError();
	ts->listener6.fd = -1;
	vtc_log(vl, VTCLOG_WARN, "QILEC_00953: TCP listener on [::1]:%d error: %d %s; "
	    "DNS over TCP over IPv6 is not diverted.", DIVERT_LISTEN_PORT, e,
	    tcp_sys_strerror(e));
	if (fd >= 0)
		(void)ODR_closesocket(fd);
	divert_without_tcp6();
}

int
init_tcp(void)
{
	struct addrinfo *res = NULL;

	AZ(tcps);
	if (sock_listen_resolve(&res) != 0)
		return -1;
	/* The listening address's own family: -l may name an IPv6 one. */
	int fd = tcp_sys_socket(res->ai_family);
	QIL_ASSERT(fd >= 0);
	tcp_sys_listener_options(fd);
	int r = bind(fd, res->ai_addr, res->ai_addrlen);
	freeaddrinfo(res);
	if (r != 0 || listen(fd, TCP_LISTEN_BACKLOG) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00820: TCP %s for %s:%s error: %d %s",
		    r != 0 ? "bind(2)" : "listen(2)", dnsc_conf.listen_addr,
		    dnsc_conf.listen_port, e, tcp_sys_strerror(e));
		return -1;
	}
	tcp_sys_raise_limit();
	tcps = tcps_new(fd);
	/* Only beside the datagram twin: without it IPv6 is not diverted. */
	if (dnsc_conf.use_windivert && sock_local_fd(AF_INET6) != sock_local_fd(AF_INET))
		tcps_listen6(tcps);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Listening on %s:%s over TCP", dnsc_conf.listen_addr,
	    dnsc_conf.listen_port);
	return 0;
}

void *
tcp_thread(void *arg)
{
	(void)arg;
	struct tcp_poll_event evs[TCP_EVENTS];
	struct tcp_server *ts = tcps;

	CHECK_OBJ_NOTNULL(ts, TCP_SERVER_MAGIC);
	int wait_ms = -1;
	while (!std::atomic_ref<bool>(ts->stop).load()) {
		int n = tcp_poll_wait(ts->poll, evs, TCP_EVENTS, wait_ms);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && e == ODR_EINTR)
			continue;
		if (n == -1) {
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00830: TCP %s error: %d %s",
			    tcp_poll_wait_call, e, tcp_sys_strerror(e));
			break;
		}
		ts->now = VTIM_mono();
		for (int i = 0; i < n; i++)
			tcp_watch_fire(evs[i].ptr, evs[i].events);
		tcps_sweep(ts);
		wait_ms = tcps_wait_ms(ts);
	}
	return NULL;
}

void
tcp_stop(void)
{
	CHECK_OBJ_NOTNULL(tcps, TCP_SERVER_MAGIC);
	std::atomic_ref<bool>(tcps->stop).store(true);
	sock_wake(tcps->waker.fd);
}
