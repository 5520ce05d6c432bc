/*
 * tcp_tls.cc -- a query's path to the TLS servers: the TLS thread keeps
 * the connections (dot.h); the query goes to it once per TLS server on the
 * TCP thread's channel, under a fresh ID that no other query waiting there
 * holds, and the answers come back on the channel under that ID, whole
 * however long. Each answer is checked and judged as any other
 * (tcp_query.cc), but held only when it is the server's failure: a
 * verified connection carries no forged answer to overtake.
 *
 * TCP thread only. Without TLS servers (and in the Windows build) the
 * channel is absent and no query takes this path.
 */
#include <string.h>

#include <algorithm>

#include "common/qildnsc.h"
#include "dot/dot.h"
#include "odr.h"
#include "odr_random.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_query_paths.h"
#include "vtc_log.h"

/* Channel datagrams read per readiness event. */
#define TCP_TLS_BATCH 32
/* Draws for an ID no waiting query holds. */
#define TCP_TLS_ID_DRAWS 16

void
tcpq_tls_close(struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	struct tcp_tls *t = q->tls.get();
	if (t == NULL)
		return;
	auto it = q->env->tls_queries.find(t->id);
	if (it != q->env->tls_queries.end() && it->second == q)
		q->env->tls_queries.erase(it);
	q->open -= (int)t->waiting.size();
	q->tls.reset();
}

/* One answer from the channel: `dg` of `n` bytes, the server's number
 * first. */
static void
tcpt_one(struct tcp_query_env *env, uint8_t *dg, size_t n)
{
	if (n < DOT_HDR + 2)
		return;
	int32_t server = dg[0] << 8 | dg[1];
	uint8_t *msg = dg + DOT_HDR;
	size_t len = n - DOT_HDR;
	uint16_t id = (uint16_t)(msg[0] << 8 | msg[1]);
	auto it = env->tls_queries.find(id);
	if (it == env->tls_queries.end() || server >= upstreams.n_upstream_servers)
		return; /* a query answered or timed out meanwhile */
	struct tcp_query *q = it->second;
	struct tcp_tls *t = q->tls.get();
	const struct upstream_server *us = &upstreams.upstream_servers[server];
	auto w = std::find(t->waiting.begin(), t->waiting.end(), us);
	if (w == t->waiting.end())
		return;
	bool verified = !(us->flags & UPSTREAM_TLS_INSECURE);
	const char *why = tcpq_take(q, us, msg, len, id,
	    verified ? TCPQ_PATH_TLS : TCPQ_PATH_DATAGRAM);
	if (why != NULL) {
		vtc_limit_log(&env->lim_tls, vl,
		    "QILEC_01039: Answer of DNS over TLS server %s to a TCP query: %s", us->tls_name,
		    why);
		return;
	}
	/* Once the query is done, its TLS part is gone already. */
	if (q->tls != NULL) {
		t->waiting.erase(w);
		q->open--;
	}
	tcpq_settle(q);
}

static void
tcpt_event(void *priv, uint32_t events)
{
	struct tcp_query_env *env;
	/* A whole answer, however large: a TCP client takes it. */
	uint8_t dg[DOT_CHANNEL_TCP_MAX];

	CAST_OBJ_NOTNULL(env, priv, TCP_QUERY_ENV_MAGIC);
	(void)events;
	for (int i = 0; i < TCP_TLS_BATCH; i++) {
		ssize_t n = ODR_recvfrom(env->tls.fd, dg, sizeof dg, 0, NULL, NULL);
		if (n < 0)
			return;
		tcpt_one(env, dg, (size_t)n);
	}
}

void
tcpq_tls_env_init(struct tcp_query_env *env)
{
	int fd = dot_owner_fd(DOT_OWNER_TCP);
	tcp_watch_init(&env->tls, fd, tcpt_event, env);
	if (fd >= 0)
		AZ(tcp_poll_add(env->poll, fd, TCP_POLL_IN, &env->tls));
}

bool
tcpq_tls_start(struct tcp_query *q)
{
	uint8_t dg[DOT_CHANNEL_MAX];

	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	struct tcp_query_env *env = q->env;
	size_t len = q->wire.size() - 2;
	if (env->tls.fd < 0 || DOT_HDR + len > sizeof dg)
		return false;
	int32_t id = -1;
	for (int i = 0; i < TCP_TLS_ID_DRAWS && id < 0; i++) {
		uint16_t c = (uint16_t)ODR_random(vl);
		if (env->tls_queries.count(c) == 0)
			id = c;
	}
	if (id < 0)
		return false;
	memcpy(dg + DOT_HDR, q->wire.data() + 2, len);
	dg[DOT_HDR] = (uint8_t)(id >> 8);
	dg[DOT_HDR + 1] = (uint8_t)(id & 0xff);
	auto t = std::make_unique<tcp_tls>();
	t->magic = TCP_TLS_MAGIC;
	t->q = q;
	t->id = (uint16_t)id;
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		const struct upstream_server *us = &upstreams.upstream_servers[i];
		if (!(us->flags & UPSTREAM_TLS))
			continue;
		dg[0] = (uint8_t)(i >> 8);
		dg[1] = (uint8_t)(i & 0xff);
		if (ODR_sendto(env->tls.fd, dg, DOT_HDR + len, 0, NULL, 0) < 0)
			continue;
		t->waiting.push_back(us);
		q->open++;
	}
	if (t->waiting.empty())
		return false;
	env->tls_queries[t->id] = q;
	q->tls = std::move(t);
	return true;
}
