/*
 * tcp_client.cc -- one client connection of the TCP server: its messages
 * read and started as queries (tcp_query.h), their replies written back
 * with their lengths, and its clocks: an idle connection, a message that
 * does not come whole, output that the client does not take.
 *
 * TCP thread only. Complaints that a client can trigger are rate-limited.
 */
#include <math.h>
#include <string.h>

#include <algorithm>

#include "common/qildnsc.h"
#include "tcp/tcp_client.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_sys.h"
#include "vss.h"
#include "vtc_log.h"

/* Replies waiting for a slow reader beyond this stop the reading of more
 * queries from its connection. */
#define TCP_OUT_MAX (2 + TCP_MSG_MAX)

void
tcp_client_close(struct tcp_client *c)
{
	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	if (c->w.fd < 0)
		return;
	tcp_poll_close(c->ts->poll, c->w.fd);
	c->w.fd = -1;
}

void
tcp_client_abort(struct tcp_client *c)
{
	struct linger lg = {};

	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	if (c->w.fd < 0)
		return;
	lg.l_onoff = 1;
	(void)ODR_setsockopt(c->w.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
	tcp_client_close(c);
}

static size_t
tcpc_out_pending(const struct tcp_client *c)
{
	return c->out.size() - c->outoff;
}

bool
tcp_client_output_waits(const struct tcp_client *c)
{
	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	return tcpc_out_pending(c) > 0;
}

bool
tcp_client_idle(const struct tcp_client *c)
{
	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	return c->queries.empty() && tcpc_out_pending(c) == 0;
}

/* Sends what the client can take now. */
static void
tcpc_flush(struct tcp_client *c)
{
	while (c->w.fd >= 0 && tcpc_out_pending(c) > 0) {
		ssize_t n = ODR_send(c->w.fd, c->out.data() + c->outoff, tcpc_out_pending(c),
		    ODR_MSG_NOSIGNAL);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return;
		if (n == -1) {
			vtc_limit_log(&c->ts->lim_send, vl, "QILEC_00829: TCP send(2) to %s error: %d %s",
			    c->name, e, tcp_sys_strerror(e));
			tcp_client_close(c);
			return;
		}
		c->outoff += (size_t)n;
		c->last = c->out_since = c->ts->now;
	}
	c->out.clear();
	c->outoff = 0;
}

/* The reply of one of the client's queries. */
static void
tcpc_reply(void *priv, const uint8_t *reply, size_t len)
{
	struct tcp_client *c;

	CAST_OBJ_NOTNULL(c, priv, TCP_CLIENT_MAGIC);
	if (c->w.fd < 0)
		return;
	/* The client's clock for taking output starts with the first reply
	 * that waits. */
	if (tcpc_out_pending(c) == 0)
		c->out_since = c->ts->now;
	c->out.push_back((uint8_t)(len >> 8));
	c->out.push_back((uint8_t)(len & 0xff));
	c->out.insert(c->out.end(), reply, reply + len);
	tcpc_flush(c);
}

static bool
tcpc_takes_queries(const struct tcp_client *c)
{
	return c->w.fd >= 0 && c->queries.size() < TCP_CLIENT_QUERIES_MAX &&
	    tcpc_out_pending(c) < TCP_OUT_MAX;
}

/* Starts a query for every whole message buffered, as far as allowed. */
static void
tcpc_parse(struct tcp_client *c)
{
	while (c->inlen >= 2 && tcpc_takes_queries(c)) {
		size_t l = (size_t)c->in[0] << 8 | c->in[1];
		if (c->inlen < 2 + l)
			return;
		struct tcp_query *q = tcp_query_new(&c->ts->queries, c->in.data() + 2, l,
		    tcpc_reply, c, c->ts->now, &c->addr, c->diverted);
		if (q == NULL) {
			vtc_limit_log(&c->ts->lim_parse, vl,
			    "QILEC_00824: Failed to parse DNS request over TCP from %s; connection closed.",
			    c->name);
			tcp_client_close(c);
			return;
		}
		c->queries.push_back(q);
		c->inlen -= 2 + l;
		memmove(c->in.data(), c->in.data() + 2 + l, c->inlen);
		/* What is left began with the latest read at the earliest. */
		c->msg_since = c->ts->now;
	}
}

void
tcp_client_read(struct tcp_client *c)
{
	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	while (!c->eof && tcpc_takes_queries(c) && c->inlen < c->in.size()) {
		ssize_t n = tcp_sys_recv(c->w.fd, c->in.data() + c->inlen,
		    c->in.size() - c->inlen);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return;
		if (n == -1) {
			/* A reset by the client: nothing to answer any more. */
			tcp_client_close(c);
			return;
		}
		if (n == 0) {
			/* Half-closed: its answers still go out. */
			c->eof = true;
			return;
		}
		if (c->inlen == 0)
			c->msg_since = c->ts->now;
		c->inlen += (size_t)n;
		c->last = c->ts->now;
		tcpc_parse(c);
	}
}

static void
tcpc_event(void *priv, uint32_t events)
{
	struct tcp_client *c;

	CAST_OBJ_NOTNULL(c, priv, TCP_CLIENT_MAGIC);
	if (events & (TCP_POLL_ERR | TCP_POLL_HUP)) {
		/* Reset or closed both ways: nobody to answer any more. */
		tcp_client_close(c);
		return;
	}
	if (events & TCP_POLL_OUT)
		tcpc_flush(c);
	if (c->w.fd >= 0 && (events & TCP_POLL_IN))
		tcp_client_read(c);
}

std::unique_ptr<tcp_client>
tcp_client_new(struct tcp_server *ts, int fd, const struct sockaddr_storage *ss)
{
	CHECK_OBJ_NOTNULL(ts, TCP_SERVER_MAGIC);
	auto c = std::make_unique<tcp_client>();
	if (tcp_poll_add(ts->poll, fd, TCP_POLL_IN, &c->w) != 0) {
		int e = ODR_sockError();
		(void)ODR_closesocket(fd);
		ODR_setSockError(e);
		return nullptr;
	}
	/* A client that stops reading holds no more of the kernel's memory
	 * than about two of the largest replies (the system's own growth of
	 * the buffer could take megabytes), until the write deadline frees
	 * even that. */
	int sndbuf = TCP_OUT_MAX;
	(void)ODR_setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
	c->magic = TCP_CLIENT_MAGIC;
	c->ts = ts;
	tcp_watch_init(&c->w, fd, tcpc_event, c.get());
	(void)VSS_addr_text(ss, sizeof(struct sockaddr_storage), c->name, sizeof c->name);
	c->addr = *ss;
	c->diverted = dnsc_conf.use_windivert && tcp_sys_redirected(fd);
	c->in.resize(2 + TCP_MSG_MAX);
	c->accepted = c->last = ts->now;
	c->interest = TCP_POLL_IN;
	return c;
}

/* The deadlines of a client; false when one of them closed it. */
static bool
tcpc_deadlines(struct tcp_client *c)
{
	struct tcp_server *ts = c->ts;

	if (tcp_client_idle(c) && (c->eof || ts->now - c->last > TCP_IDLE_TIMEOUT)) {
		tcp_client_close(c);
		return false;
	}
	if (c->inlen > 0 && !tcpc_takes_queries(c))
		/* We stopped reading: the message's clock waits for us. */
		c->msg_since = ts->now;
	if (c->inlen > 0 && !c->eof && ts->now - c->msg_since > TCP_MESSAGE_TIMEOUT) {
		vtc_limit_log(&ts->lim_message, vl,
		    "QILEC_00834: No whole message over TCP from %s within %.0f s; connection closed.",
		    c->name, TCP_MESSAGE_TIMEOUT);
		tcp_client_close(c);
		return false;
	}
	if (tcpc_out_pending(c) > 0 && ts->now - c->out_since > TCP_WRITE_TIMEOUT) {
		vtc_limit_log(&ts->lim_stalled, vl,
		    "QILEC_00835: TCP client %s took nothing of its answers for %.0f s; connection reset.",
		    c->name, TCP_WRITE_TIMEOUT);
		tcp_client_abort(c);
		return false;
	}
	return true;
}

void
tcp_client_sweep(struct tcp_client *c)
{
	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	auto &qs = c->queries;
	for (auto *q : qs)
		tcp_query_tick(q, c->ts->now);
	size_t kept = 0;
	for (auto *q : qs) {
		if (tcp_query_done(q))
			tcp_query_delete(q);
		else
			qs[kept++] = q;
	}
	qs.resize(kept);
	tcpc_parse(c);
	if (c->w.fd < 0 || !tcpc_deadlines(c))
		return;

	uint32_t want = 0;
	if (!c->eof && tcpc_takes_queries(c))
		want |= TCP_POLL_IN;
	if (tcpc_out_pending(c) > 0)
		want |= TCP_POLL_OUT;
	if (want != c->interest) {
		c->interest = want;
		tcp_poll_mod(c->ts->poll, c->w.fd, want, &c->w);
	}
}

double
tcp_client_next(const struct tcp_client *c)
{
	/* Just past each limit, which is compared as "more than". */
	const double past = 0.001;
	double next = HUGE_VAL;

	CHECK_OBJ_NOTNULL(c, TCP_CLIENT_MAGIC);
	if (c->w.fd < 0)
		return next;
	for (const auto *q : c->queries)
		next = std::min(next, tcp_query_next(q));
	if (tcp_client_idle(c))
		next = std::min(next, c->eof ? c->ts->now : c->last + TCP_IDLE_TIMEOUT + past);
	if (c->inlen > 0 && !c->eof && tcpc_takes_queries(c))
		next = std::min(next, c->msg_since + TCP_MESSAGE_TIMEOUT + past);
	if (tcpc_out_pending(c) > 0)
		next = std::min(next, c->out_since + TCP_WRITE_TIMEOUT + past);
	return next;
}

void
tcp_client_delete(std::unique_ptr<tcp_client> c)
{
	CHECK_OBJ_NOTNULL(c.get(), TCP_CLIENT_MAGIC);
	tcp_client_close(c.get());
	for (auto *q : c->queries)
		tcp_query_delete(q);
	c->magic = 0;
}
