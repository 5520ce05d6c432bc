/*
 * tcp_upstream.cc -- a query's path to the plain servers: one non-blocking
 * connection per server, the query written with its 2-byte length, one
 * answer read back and handed to the query (tcp_query.cc), after which the
 * connection is over.
 *
 * TCP thread only. Complaints that a server can trigger are rate-limited.
 */
#include <string.h>

#include "common/qildnsc.h"
#include "odr.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_query_paths.h"
#include "tcp/tcp_sys.h"
#include "vdns.h"
#include "vss.h"
#include "vtc_log.h"

/* A connection to `us` that failed in `call` with the socket error `e`. */
static void
tcpu_fail(struct tcp_query_env *env, const char *call, const struct upstream_server *us,
          int e)
{
	char a[64];
	vtc_limit_log(&env->lim_connect, vl, "QILEC_00825: TCP %s to %s error: %d %s", call,
	    VSS_addr_text(&us->addr, sizeof(struct sockaddr_storage), a, sizeof a), e, tcp_sys_strerror(e));
}

void
tcpq_upstream_close(struct tcp_upstream *u)
{
	CHECK_OBJ_NOTNULL(u, TCP_UPSTREAM_MAGIC);
	if (u->w.fd < 0)
		return;
	tcp_poll_close(u->q->env->poll, u->w.fd);
	u->w.fd = -1;
	u->answer.clear();
	u->answer.shrink_to_fit();
	u->q->open--;
	u->q->tcp_open--;
}

/* The connection is over: the query may have its reply now. */
static void
tcpu_done(struct tcp_upstream *u)
{
	tcpq_upstream_close(u);
	tcpq_settle(u->q);
}

static void
tcpu_answer_fail(struct tcp_upstream *u, const char *why)
{
	char a[64];
	vtc_limit_log(&u->q->env->lim_answer, vl, "QILEC_00826: TCP answer from %s: %s",
	    VSS_addr_text(&u->server->addr, sizeof(struct sockaddr_storage), a, sizeof a), why);
	tcpu_done(u);
}

/* Writes what is left of the query; true once all of it is out. */
static bool
tcpu_write(struct tcp_upstream *u)
{
	const std::vector<uint8_t> &wire = u->q->wire;
	while (u->sent < wire.size()) {
		ssize_t n = ODR_send(u->w.fd, wire.data() + u->sent, wire.size() - u->sent,
		    ODR_MSG_NOSIGNAL);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return false;
		if (n == -1) {
			tcpu_fail(u->q->env, "send(2)", u->server, e);
			tcpu_done(u);
			return false;
		}
		u->sent += (size_t)n;
	}
	tcp_poll_mod(u->q->env->poll, u->w.fd, TCP_POLL_IN, &u->w);
	return true;
}

/* Reads what has come of the answer; hands it on once it is whole. */
static void
tcpu_read(struct tcp_upstream *u)
{
	for (;;) {
		uint8_t *dst;
		size_t want;
		if (u->got < 2) {
			dst = u->prefix + u->got;
			want = 2 - u->got;
		} else {
			dst = u->answer.data() + (u->got - 2);
			want = u->answer.size() - (u->got - 2);
		}
		ssize_t n = tcp_sys_recv(u->w.fd, dst, want);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return;
		if (n <= 0)
			return tcpu_answer_fail(u, n == 0 ? "connection closed before the answer."
			                                  : tcp_sys_strerror(e));
		u->got += (size_t)n;
		if (u->got == 2) {
			size_t l = (size_t)u->prefix[0] << 8 | u->prefix[1];
			if (l < VDNS_HEADER_SIZE)
				return tcpu_answer_fail(u, "Failed to parse DNS response.");
			u->answer.resize(l);
		}
		if (u->got > 2 && u->got - 2 == u->answer.size()) {
			const char *why = tcpq_take(u->q, u->server, u->answer.data(),
			    u->answer.size(), u->q->id, TCPQ_PATH_TCP);
			return why != NULL ? tcpu_answer_fail(u, why) : tcpu_done(u);
		}
	}
}

static void
tcpu_event(void *priv, uint32_t events)
{
	struct tcp_upstream *u;

	CAST_OBJ_NOTNULL(u, priv, TCP_UPSTREAM_MAGIC);
	if (u->q->done)
		return;
	if (u->sent < u->q->wire.size()) {
		int err = 0;
		socklen_t l = sizeof err;
		if ((events & (TCP_POLL_ERR | TCP_POLL_HUP)) &&
		    ODR_getsockopt(u->w.fd, SOL_SOCKET, SO_ERROR, &err, &l) == 0 && err != 0) {
			tcpu_fail(u->q->env, "connect(2)", u->server, err);
			return tcpu_done(u);
		}
		if (!tcpu_write(u))
			return;
	}
	if (events & (TCP_POLL_IN | TCP_POLL_ERR | TCP_POLL_HUP))
		tcpu_read(u);
}

bool
tcpq_connect(struct tcp_query *q, const struct upstream_server *us)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	auto u = std::make_unique<tcp_upstream>();
	u->magic = TCP_UPSTREAM_MAGIC;
	tcp_watch_init(&u->w, tcp_sys_socket(us->addr.ss_family), tcpu_event, u.get());
	u->q = q;
	u->server = us;
	if (u->w.fd == -1)
		goto fail;
	/* Exempt, so that diversion does not turn it back to us. */
	if (dnsc_conf.use_windivert)
		tcp_sys_exempt(u->w.fd);
	if (connect(u->w.fd, reinterpret_cast<const struct sockaddr *>(&us->addr),
	    (socklen_t)us->addrlen) == -1 && ODR_sockError() != ODR_EINPROGRESS)
		goto fail;
	if (tcp_poll_add(q->env->poll, u->w.fd, TCP_POLL_OUT, &u->w) == -1)
		goto fail;
	q->open++;
	q->tcp_open++;
	q->ups.push_back(std::move(u));
	return true;
fail:
	tcpu_fail(q->env, "connect(2)", us, ODR_sockError());
	if (u->w.fd != -1)
		(void)ODR_closesocket(u->w.fd);
	return false;
}
