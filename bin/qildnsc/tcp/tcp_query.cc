/*
 * tcp_query.cc -- a query over TCP: one non-blocking connection per plain
 * server, the query written with its 2-byte length, one answer read back
 * per connection, each answer checked (ID, QR, question) and judged by
 * filter_response(); the query's one reply goes to its client through the
 * reply callback.
 *
 * TCP thread only. Complaints that anyone (a client, a server) can
 * trigger are rate-limited.
 */
#include <stdio.h>
#include <string.h>

#include <memory>
#include <vector>

#include "forward/filter.h"
#include "forward/pending.h"
#include "odr.h"
#include "common/qildnsc.h"
#include "forward/held.h"
#include "servers/servers.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_sys.h"
#include "tcp/tcp_watch.h"
#include "vdns.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtim.h"

/* One connection to one plain server. */
struct tcp_upstream {
	unsigned magic;
#define TCP_UPSTREAM_MAGIC 0xce2995d6
	struct tcp_watch w; /* the readiness set points here, `priv` back here */
	struct tcp_query *q;
	const struct upstream_server *server;
	size_t sent;  /* bytes of the query written, length included */
	size_t got;   /* bytes of the answer read, length included */
	uint8_t prefix[2];
	std::vector<uint8_t> answer;
};

struct tcp_query {
	unsigned magic;
#define TCP_QUERY_MAGIC 0x7c9e1a4d
	struct tcp_query_env *env;
	tcp_reply_f *reply;
	void *priv;
	std::vector<uint8_t> wire; /* 2-byte length, then the message */
	uint16_t id;
	struct vdns_question question;
	std::vector<std::unique_ptr<tcp_upstream>> ups;
	int open; /* connections not yet answered or failed */
	std::vector<uint8_t> held;
	double held_at;
	double deadline;
	bool done;
};

static const char *
tcpq_addr_text(const struct upstream_server *us, char *buf, size_t size)
{
	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us->addr);
	char a[INET_ADDRSTRLEN] = "?";
	if (sin->sin_family == AF_INET)
		(void)inet_ntop(AF_INET, &sin->sin_addr, a, sizeof a);
	(void)snprintf(buf, size, "%s:%u", a, (unsigned)ntohs(sin->sin_port));
	return buf;
}

/* A connection to `us` that failed in `call` with the socket error `e`. */
static void
tcpq_connect_fail(struct tcp_query_env *env, const char *call,
                  const struct upstream_server *us, int e)
{
	char a[64];
	vtc_limit_log(&env->lim_connect, vl, "QILEC_00825: TCP %s to %s error: %d %s", call,
	    tcpq_addr_text(us, a, sizeof a), e, tcp_sys_strerror(e));
}

static void
tcpq_close(struct tcp_upstream *u)
{
	if (u->w.fd < 0)
		return;
	tcp_poll_close(u->q->env->poll, u->w.fd);
	u->w.fd = -1;
	u->answer.clear();
	u->answer.shrink_to_fit();
	u->q->open--;
}

static void
tcpq_finish(struct tcp_query *q, const uint8_t *data, size_t len)
{
	q->done = true;
	for (auto &u : q->ups)
		tcpq_close(u.get());
	q->reply(q->priv, data, len);
}

static void
tcpq_servfail(struct tcp_query *q)
{
	uint8_t buf[TCP_MSG_MAX];
	const uint8_t *msg = q->wire.data() + 2;
	int n = VDNS_servfail(msg, q->wire.size() - 2, buf, sizeof buf);
	if (n < 0) {
		/* Questions the reply cannot walk: the header alone answers. */
		uint8_t hdr[VDNS_HEADER_SIZE];
		memcpy(hdr, msg, sizeof hdr);
		hdr[4] = hdr[5] = 0;
		n = VDNS_servfail(hdr, sizeof hdr, buf, sizeof buf);
	}
	QIL_ASSERT(n > 0);
	tcpq_finish(q, buf, (size_t)n);
}

/* A connection is over: once none is left, the held answer or SERVFAIL. */
static void
tcpq_server_done(struct tcp_upstream *u)
{
	struct tcp_query *q = u->q;
	tcpq_close(u);
	if (q->done || q->open > 0)
		return;
	if (!q->held.empty())
		tcpq_finish(q, q->held.data(), q->held.size());
	else
		tcpq_servfail(q);
}

static void
tcpq_answer_fail(struct tcp_upstream *u, const char *why)
{
	char a[64];
	vtc_limit_log(&u->q->env->lim_answer, vl, "QILEC_00826: TCP answer from %s: %s",
	    tcpq_addr_text(u->server, a, sizeof a), why);
	tcpq_server_done(u);
}

/* Checks and judges a whole answer. */
static void
tcpq_judge(struct tcp_upstream *u)
{
	struct tcp_query *q = u->q;
	struct vdns_question question;
	struct vdns_msg msg;

	if (VDNS_initparse(u->answer.data(), u->answer.size(), &msg) < 0 ||
	    VDNS_question_read(&msg, &question) < 0)
		return tcpq_answer_fail(u, "Failed to parse DNS response.");
	if (!(msg.flags & VDNS_QR) || msg.id != q->id ||
	    !VDNS_question_equal(&q->question, &question))
		return tcpq_answer_fail(u, "it does not answer its query; dropped.");

	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&u->server->addr);
	switch (filter_response(&msg, sin->sin_addr.s_addr)) {
	case FILTER_RELAY:
		/* Taken first: the finish closes this connection and frees the buffer. */
		{
			std::vector<uint8_t> answer = std::move(u->answer);
			tcpq_finish(q, answer.data(), answer.size());
		}
		return;
	case FILTER_HOLD:
		q->held = std::move(u->answer);
		q->held_at = VTIM_mono();
		break;
	case FILTER_DROP:
		break;
	default:
		WRONG("filter_verdict");
	}
	tcpq_server_done(u);
}

/* Writes what is left of the query; true once all of it is out. */
static bool
tcpq_write(struct tcp_upstream *u)
{
	const std::vector<uint8_t> &wire = u->q->wire;
	while (u->sent < wire.size()) {
		ssize_t n = ODR_send(u->w.fd, wire.data() + u->sent, wire.size() - u->sent,
		    ODR_MSG_NOSIGNAL);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return false;
		if (n == -1) {
			tcpq_connect_fail(u->q->env, "send(2)", u->server, e);
			tcpq_server_done(u);
			return false;
		}
		u->sent += (size_t)n;
	}
	tcp_poll_mod(u->q->env->poll, u->w.fd, TCP_POLL_IN, &u->w);
	return true;
}

/* Reads what has come of the answer; judges it once it is whole. */
static void
tcpq_read(struct tcp_upstream *u)
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
			return tcpq_answer_fail(u, n == 0 ? "connection closed before the answer."
			                                  : tcp_sys_strerror(e));
		u->got += (size_t)n;
		if (u->got == 2) {
			size_t l = (size_t)u->prefix[0] << 8 | u->prefix[1];
			if (l < VDNS_HEADER_SIZE)
				return tcpq_answer_fail(u, "Failed to parse DNS response.");
			u->answer.resize(l);
		}
		if (u->got > 2 && u->got - 2 == u->answer.size())
			return tcpq_judge(u);
	}
}

static void
tcpq_event(void *priv, uint32_t events)
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
			tcpq_connect_fail(u->q->env, "connect(2)", u->server, err);
			return tcpq_server_done(u);
		}
		if (!tcpq_write(u))
			return;
	}
	if (events & (TCP_POLL_IN | TCP_POLL_ERR | TCP_POLL_HUP))
		tcpq_read(u);
}

/* Opens the connection to one plain server; false (logged) when it fails
 * at once. */
static bool
tcpq_connect(struct tcp_query *q, const struct upstream_server *us)
{
	auto u = std::make_unique<tcp_upstream>();
	u->magic = TCP_UPSTREAM_MAGIC;
	tcp_watch_init(&u->w, tcp_sys_socket(us->addr.ss_family), tcpq_event, u.get());
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
	q->ups.push_back(std::move(u));
	return true;
fail:
	tcpq_connect_fail(q->env, "connect(2)", us, ODR_sockError());
	if (u->w.fd != -1)
		(void)ODR_closesocket(u->w.fd);
	return false;
}

void
tcp_query_env_init(struct tcp_query_env *env, struct tcp_poll *poll)
{
	AN(env);
	AN(poll);
	*env = {TCP_QUERY_ENV_MAGIC, poll, VTC_LIMIT_INIT("QILEC_00825", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00826", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00828", VTCLOG_WARN), false};
}

struct tcp_query *
tcp_query_new(struct tcp_query_env *env, const uint8_t *msg, size_t len,
              tcp_reply_f *reply, void *priv, double now)
{
	struct vdns_msg parsed;
	struct vdns_question question;

	CHECK_OBJ_NOTNULL(env, TCP_QUERY_ENV_MAGIC);
	AN(reply);
	QIL_ASSERT(len <= TCP_MSG_MAX);
	if (VDNS_initparse(msg, len, &parsed) < 0 ||
	    VDNS_question_read(&parsed, &question) < 0)
		return NULL;
	auto *q = new tcp_query();
	q->magic = TCP_QUERY_MAGIC;
	q->env = env;
	q->reply = reply;
	q->priv = priv;
	q->wire.resize(2 + len);
	q->wire[0] = (uint8_t)(len >> 8);
	q->wire[1] = (uint8_t)(len & 0xff);
	memcpy(q->wire.data() + 2, msg, len);
	q->id = parsed.id;
	q->question = question;
	q->deadline = now + TCP_QUERY_TIMEOUT;

	int plain = 0;
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		if (upstreams.upstream_servers[i].flags & UPSTREAM_ENCRYPTED)
			continue;
		plain++;
		(void)tcpq_connect(q, &upstreams.upstream_servers[i]);
	}
	if (plain == 0 && !env->no_plain_logged) {
		vtc_log(vl, VTCLOG_WARN,
		    "QILEC_00827: No plain DNS server: queries over TCP are answered with SERVFAIL.");
		env->no_plain_logged = true;
	}
	if (q->open == 0)
		tcpq_servfail(q);
	return q;
}

void
tcp_query_tick(struct tcp_query *q, double now)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	if (q->done)
		return;
	if (!q->held.empty() && now - q->held_at > HOLD_DELAY) {
		tcpq_finish(q, q->held.data(), q->held.size());
		return;
	}
	if (now >= q->deadline) {
		vtc_limit_log(&q->env->lim_timeout, vl,
		    "QILEC_00828: No usable answer over TCP within %.0f s for ID %u; SERVFAIL.",
		    TCP_QUERY_TIMEOUT, (unsigned)q->id);
		tcpq_servfail(q);
	}
}

void
tcp_query_env_flush_logs(struct tcp_query_env *env, double now)
{
	CHECK_OBJ_NOTNULL(env, TCP_QUERY_ENV_MAGIC);
	for (auto *lim : {&env->lim_connect, &env->lim_answer, &env->lim_timeout})
		vtc_limit_flush(lim, vl, now);
}

bool
tcp_query_done(const struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	return q->done;
}

void
tcp_query_delete(struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	for (auto &u : q->ups)
		tcpq_close(u.get());
	q->magic = 0;
	delete q;
}
