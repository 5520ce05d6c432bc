/*
 * tcp_server.cc -- the TCP listener and its clients, served by one thread
 * with one readiness set (tcp_poll.h): the listening socket, every client
 * connection and every upstream connection of their queries (tcp_query.cc),
 * each behind a tcp_watch. Each turn handles the ready descriptors, then
 * walks the clients for the clocks (held answers, time-outs, idle
 * connections) and frees what was closed during the turn.
 *
 * Everything here belongs to the TCP thread after init_tcp(); complaints
 * that a client can trigger are rate-limited.
 */
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <list>
#include <memory>
#include <vector>

#include "odr.h"
#include "common/qildnsc.h"
#include "forward/sockets.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_server.h"
#include "tcp/tcp_sys.h"
#include "tcp/tcp_watch.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtim.h"

/* Replies waiting for a slow reader beyond this stop the reading of more
 * queries from its connection. */
#define TCP_OUT_MAX (2 + TCP_MSG_MAX)
/* Connections taken per turn, so that a flood cannot starve the rest. */
#define TCP_ACCEPT_BATCH 16
#define TCP_EVENTS 64

struct tcp_server;

struct tcp_client {
	unsigned magic;
#define TCP_CLIENT_MAGIC 0x8f7314d5
	struct tcp_server *ts;
	struct tcp_watch w; /* the readiness set points here, `priv` back here */
	char name[64];      /* address:port, for log lines */
	std::vector<uint8_t> in; /* 2 + TCP_MSG_MAX bytes: one whole message fits */
	size_t inlen;
	std::vector<uint8_t> out;
	size_t outoff;
	std::vector<struct tcp_query *> queries;
	uint32_t interest; /* the events asked of the readiness set */
	double last;       /* monotonic time of the last traffic */
	bool eof;
};

/* The TCP thread's state, made once by init_tcp() and never freed: the
 * process may end (exit handlers and all) while the thread still uses it. */
struct tcp_server {
	unsigned magic;
#define TCP_SERVER_MAGIC 0x3ac5d2e1
	struct tcp_poll *poll;
	struct tcp_watch listener;
	bool listener_paused;
	double listener_resume;
	double now;
	std::list<std::unique_ptr<tcp_client>> clients;
	struct tcp_query_env queries;
	struct vtc_limit lim_accept;
	struct vtc_limit lim_full;
	struct vtc_limit lim_parse;
	struct vtc_limit lim_send;
	bool stop; /* set by tcp_stop() from another thread (std::atomic_ref) */
};

/* The one server, for tcp_thread(), which the shell starts without an
 * argument. */
static struct tcp_server *tcps;

static void
tcps_name(const struct sockaddr_storage *ss, char *buf, size_t size)
{
	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ss);
	char a[INET_ADDRSTRLEN] = "?";
	if (sin->sin_family == AF_INET)
		(void)inet_ntop(AF_INET, &sin->sin_addr, a, sizeof a);
	(void)snprintf(buf, size, "%s:%u", a, (unsigned)ntohs(sin->sin_port));
}

/* Asks the readiness set for `events` on `w`. */
static void
tcps_watch(struct tcp_server *ts, struct tcp_watch *w, uint32_t events)
{
	tcp_poll_mod(ts->poll, w->fd, events, w);
}

static void
tcps_client_close(struct tcp_client *c)
{
	if (c->w.fd < 0)
		return;
	tcp_poll_close(c->ts->poll, c->w.fd);
	c->w.fd = -1;
}

static size_t
tcps_out_pending(const struct tcp_client *c)
{
	return c->out.size() - c->outoff;
}

/* Sends what the client can take now. */
static void
tcps_client_flush(struct tcp_client *c)
{
	while (c->w.fd >= 0 && tcps_out_pending(c) > 0) {
		ssize_t n = ODR_send(c->w.fd, c->out.data() + c->outoff, tcps_out_pending(c),
		    ODR_MSG_NOSIGNAL);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return;
		if (n == -1) {
			vtc_limit_log(&c->ts->lim_send, vl, "QILEC_00829: TCP send(2) to %s error: %d %s",
			    c->name, e, tcp_sys_strerror(e));
			tcps_client_close(c);
			return;
		}
		c->outoff += (size_t)n;
		c->last = c->ts->now;
	}
	c->out.clear();
	c->outoff = 0;
}

/* The reply of one of the client's queries. */
static void
tcps_reply(void *priv, const uint8_t *reply, size_t len)
{
	struct tcp_client *c;

	CAST_OBJ_NOTNULL(c, priv, TCP_CLIENT_MAGIC);
	if (c->w.fd < 0)
		return;
	c->out.push_back((uint8_t)(len >> 8));
	c->out.push_back((uint8_t)(len & 0xff));
	c->out.insert(c->out.end(), reply, reply + len);
	tcps_client_flush(c);
}

static bool
tcps_client_takes_queries(const struct tcp_client *c)
{
	return c->w.fd >= 0 && c->queries.size() < TCP_CLIENT_QUERIES_MAX &&
	    tcps_out_pending(c) < TCP_OUT_MAX;
}

/* Starts a query for every whole message buffered, as far as allowed. */
static void
tcps_client_parse(struct tcp_client *c)
{
	while (c->inlen >= 2 && tcps_client_takes_queries(c)) {
		size_t l = (size_t)c->in[0] << 8 | c->in[1];
		if (c->inlen < 2 + l)
			return;
		struct tcp_query *q = tcp_query_new(&c->ts->queries, c->in.data() + 2, l,
		    tcps_reply, c, c->ts->now);
		if (q == NULL) {
			vtc_limit_log(&c->ts->lim_parse, vl,
			    "QILEC_00824: Failed to parse DNS request over TCP from %s; connection closed.",
			    c->name);
			tcps_client_close(c);
			return;
		}
		c->queries.push_back(q);
		c->inlen -= 2 + l;
		memmove(c->in.data(), c->in.data() + 2 + l, c->inlen);
	}
}

static void
tcps_client_read(struct tcp_client *c)
{
	while (!c->eof && tcps_client_takes_queries(c) && c->inlen < c->in.size()) {
		ssize_t n = tcp_sys_recv(c->w.fd, c->in.data() + c->inlen,
		    c->in.size() - c->inlen);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return;
		if (n == -1) {
			/* A reset by the client: nothing to answer any more. */
			tcps_client_close(c);
			return;
		}
		if (n == 0) {
			/* Half-closed: its answers still go out. */
			c->eof = true;
			return;
		}
		c->inlen += (size_t)n;
		c->last = c->ts->now;
		tcps_client_parse(c);
	}
}

static void
tcps_client_event(void *priv, uint32_t events)
{
	struct tcp_client *c;

	CAST_OBJ_NOTNULL(c, priv, TCP_CLIENT_MAGIC);
	if (events & (TCP_POLL_ERR | TCP_POLL_HUP)) {
		/* Reset or closed both ways: nobody to answer any more. */
		tcps_client_close(c);
		return;
	}
	if (events & TCP_POLL_OUT)
		tcps_client_flush(c);
	if (c->w.fd >= 0 && (events & TCP_POLL_IN))
		tcps_client_read(c);
}

/* Stops taking connections for a while: the waiting one stays readable,
 * and would be reported again at once. */
static void
tcps_listener_pause(struct tcp_server *ts)
{
	tcps_watch(ts, &ts->listener, 0);
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

static void
tcps_accept_one(struct tcp_server *ts, int fd, const struct sockaddr_storage *ss)
{
	char name[64];
	tcps_name(ss, name, sizeof name);
	if (ts->clients.size() >= TCP_CLIENTS_MAX) {
		vtc_limit_log(&ts->lim_full, vl,
		    "QILEC_00823: Too many TCP clients (%d): connection from %s refused.",
		    TCP_CLIENTS_MAX, name);
		(void)ODR_closesocket(fd);
		return;
	}
	/* A set that cannot take one more socket is out of room like a
	 * process out of descriptors. */
	auto c = std::make_unique<tcp_client>();
	if (tcp_poll_add(ts->poll, fd, TCP_POLL_IN, &c->w) != 0) {
		int e = ODR_sockError();
		(void)ODR_closesocket(fd);
		tcps_accept_fail(ts, e);
		return;
	}
	c->magic = TCP_CLIENT_MAGIC;
	c->ts = ts;
	tcp_watch_init(&c->w, fd, tcps_client_event, c.get());
	memcpy(c->name, name, sizeof c->name);
	c->in.resize(2 + TCP_MSG_MAX);
	c->last = ts->now;
	c->interest = TCP_POLL_IN;
	ts->clients.push_back(std::move(c));
}

static void
tcps_accept(void *priv, uint32_t events)
{
	struct tcp_server *ts;

	CAST_OBJ_NOTNULL(ts, priv, TCP_SERVER_MAGIC);
	(void)events;
	for (int i = 0; i < TCP_ACCEPT_BATCH; i++) {
		struct sockaddr_storage ss = {};
		int fd = tcp_sys_accept(ts->listener.fd, &ss);
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

/* The clocks of one client: its queries, its idle time, its interest. */
static void
tcps_client_sweep(struct tcp_client *c)
{
	struct tcp_server *ts = c->ts;
	auto &qs = c->queries;
	for (auto *q : qs)
		tcp_query_tick(q, ts->now);
	size_t kept = 0;
	for (auto *q : qs) {
		if (tcp_query_done(q))
			tcp_query_delete(q);
		else
			qs[kept++] = q;
	}
	qs.resize(kept);
	tcps_client_parse(c);
	if (c->w.fd < 0)
		return;

	bool quiet = qs.empty() && tcps_out_pending(c) == 0;
	if (quiet && (c->eof || ts->now - c->last > TCP_IDLE_TIMEOUT)) {
		tcps_client_close(c);
		return;
	}
	uint32_t want = 0;
	if (!c->eof && tcps_client_takes_queries(c))
		want |= TCP_POLL_IN;
	if (tcps_out_pending(c) > 0)
		want |= TCP_POLL_OUT;
	if (want != c->interest) {
		c->interest = want;
		tcps_watch(ts, &c->w, want);
	}
}

static void
tcps_sweep(struct tcp_server *ts)
{
	for (auto it = ts->clients.begin(); it != ts->clients.end();) {
		struct tcp_client *c = it->get();
		if (c->w.fd >= 0)
			tcps_client_sweep(c);
		if (c->w.fd >= 0) {
			++it;
			continue;
		}
		for (auto *q : c->queries)
			tcp_query_delete(q);
		it = ts->clients.erase(it);
	}
	for (auto *lim : {&ts->lim_accept, &ts->lim_full, &ts->lim_parse, &ts->lim_send})
		vtc_limit_flush(lim, vl, ts->now);
	tcp_query_env_flush_logs(&ts->queries, ts->now);
	if (ts->listener_paused && ts->now >= ts->listener_resume) {
		ts->listener_paused = false;
		tcps_watch(ts, &ts->listener, TCP_POLL_IN);
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
	tcp_query_env_init(&ts->queries, ts->poll);
	ts->lim_accept = VTC_LIMIT_INIT("QILEC_00822", VTCLOG_ERROR);
	ts->lim_full = VTC_LIMIT_INIT("QILEC_00823", VTCLOG_WARN);
	ts->lim_parse = VTC_LIMIT_INIT("QILEC_00824", VTCLOG_WARN);
	ts->lim_send = VTC_LIMIT_INIT("QILEC_00829", VTCLOG_WARN);
	return ts;
}

int
init_tcp(void)
{
	struct addrinfo *res = NULL;

	AZ(tcps);
	if (sock_listen_resolve(SOCK_STREAM, &res) != 0)
		return -1;
	int fd = tcp_sys_socket(res->ai_family);
	QIL_ASSERT(fd >= 0);
	tcp_sys_listener_options(fd);
	int r = bind(fd, res->ai_addr, res->ai_addrlen);
	freeaddrinfo(res);
	if (r != 0 || listen(fd, TCP_CLIENTS_MAX) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00820: TCP %s for %s:%s error: %d %s",
		    r != 0 ? "bind(2)" : "listen(2)", dnsc_conf.listen_addr,
		    dnsc_conf.listen_port, e, tcp_sys_strerror(e));
		return -1;
	}
	tcp_sys_raise_limit();
	tcps = tcps_new(fd);
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
	while (!std::atomic_ref<bool>(ts->stop).load()) {
		int n = tcp_poll_wait(ts->poll, evs, TCP_EVENTS, TCP_TURN_MSEC);
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
	}
	return NULL;
}

void
tcp_stop(void)
{
	CHECK_OBJ_NOTNULL(tcps, TCP_SERVER_MAGIC);
	std::atomic_ref<bool>(tcps->stop).store(true);
}
