/*
 * tcp_datagram.cc -- a query's path to the encrypted servers, which speak
 * framed datagrams only: a non-blocking UDP socket of the query's own, on
 * a port of the kernel's random choice, sends the framed query under a
 * fresh ID to every encrypted server. A datagram counts only from a server
 * asked and not yet answered, as a whole frame; its message goes to the
 * query (tcp_query.cc) to be checked and judged as any other answer.
 *
 * TCP thread only. Complaints that anyone who can send a datagram can
 * trigger are rate-limited.
 */
#include <string.h>

#include <algorithm>

#include "common/qildnsc.h"
#include "odr.h"
#include "odr_random.h"
#include "qca_frame.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_query.h"
#include "tcp/tcp_query_paths.h"
#include "tcp/tcp_sys.h"
#include "vss.h"
#include "vtc_log.h"

/* Datagrams read per readiness event, so that a flood cannot hold the
 * thread. */
#define TCP_DATAGRAM_BATCH 16

static void
tcpd_sock_fail(struct tcp_query_env *env, const char *call, int e)
{
	vtc_limit_log(&env->lim_dgram_sock, vl,
	    "QILEC_00838: %s on the datagram socket of a TCP query error: %d %s", call, e,
	    tcp_sys_strerror(e));
}

void
tcpq_datagrams_close(struct tcp_query *q)
{
	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	struct tcp_datagrams *d = q->dgrams.get();
	if (d == NULL || d->w.fd < 0)
		return;
	tcp_poll_close(q->env->poll, d->w.fd);
	d->w.fd = -1;
	q->open -= (int)d->waiting.size();
	d->waiting.clear();
}

/* An IPv4 address that reached the IPv6 socket, as `ss` mapped it
 * (::ffff:a.b.c.d), made IPv4's own again, so that it compares equal to
 * the server's; its new length. Any other address is left as it is. */
static socklen_t
tcpd_unmap(struct sockaddr_storage *ss, socklen_t len)
{
	auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(ss);
	if (ss->ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr))
		return len;
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = sin6->sin6_port;
	memcpy(&sin.sin_addr, &sin6->sin6_addr.s6_addr[12], 4);
	memset(ss, 0, sizeof *ss);
	memcpy(ss, &sin, sizeof sin);
	return sizeof sin;
}

/* The server's address as the socket of `family` sends to it: an IPv4
 * one mapped on an IPv6 socket. */
static socklen_t
tcpd_dest(int family, const struct upstream_server *us, struct sockaddr_storage *to)
{
	memset(to, 0, sizeof *to);
	if (family != AF_INET6 || us->addr.ss_family != AF_INET) {
		memcpy(to, &us->addr, (size_t)us->addrlen);
		return (socklen_t)us->addrlen;
	}
	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us->addr);
	auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(to);
	sin6->sin6_family = AF_INET6;
	sin6->sin6_port = sin->sin_port;
	sin6->sin6_addr.s6_addr[10] = 0xff;
	sin6->sin6_addr.s6_addr[11] = 0xff;
	memcpy(&sin6->sin6_addr.s6_addr[12], &sin->sin_addr, 4);
	return sizeof *sin6;
}

/* The server of a datagram from `from`, taken off the waiting list; NULL
 * (logged) when it is no server that this query waits for. */
static const struct upstream_server *
tcpd_sender(struct tcp_datagrams *d, struct sockaddr_storage *from, socklen_t len)
{
	len = tcpd_unmap(from, len);
	auto it = std::find_if(d->waiting.begin(), d->waiting.end(),
	    [&](const struct upstream_server *us) {
		    return (socklen_t)us->addrlen == len && memcmp(&us->addr, from, len) == 0;
	    });
	if (it != d->waiting.end())
		return *it;
	char a[64];
	vtc_limit_log(&d->q->env->lim_stranger, vl,
	    "QILEC_00836: Datagram from %s to a TCP query: no encrypted server it waits for; dropped.",
	    VSS_addr_text(from, sizeof(struct sockaddr_storage), a, sizeof a));
	return NULL;
}

/* One datagram of `n` bytes from `from`: its answer taken, or dropped. */
static void
tcpd_one(struct tcp_datagrams *d, uint8_t *buf, size_t n, struct sockaddr_storage *from,
         socklen_t fromlen)
{
	const struct upstream_server *us = tcpd_sender(d, from, fromlen);
	if (us == NULL)
		return;
	size_t len;
	const char *why = NULL;
	if (QCA_unframe(&upstreams.upstream_key, buf, n, &len) != QCA_UNFRAME_OK)
		why = "bad encryption frame; dropped.";
	else
		why = tcpq_take(d->q, us, buf, len, d->id, TCPQ_PATH_DATAGRAM);
	if (why != NULL) {
		char a[64];
		vtc_limit_log(&d->q->env->lim_dgram, vl,
		    "QILEC_00837: Datagram answer to a TCP query from %s: %s",
		    VSS_addr_text(&us->addr, sizeof(struct sockaddr_storage), a, sizeof a), why);
		return;
	}
	/* Answered: once the query is done, its socket is closed already. */
	if (d->w.fd >= 0) {
		d->waiting.erase(std::find(d->waiting.begin(), d->waiting.end(), us));
		d->q->open--;
		if (d->waiting.empty())
			tcpq_datagrams_close(d->q);
	}
	tcpq_settle(d->q);
}

static void
tcpd_event(void *priv, uint32_t events)
{
	struct tcp_datagrams *d;
	uint8_t buf[QCA_FRAME_MAXSIZE];

	CAST_OBJ_NOTNULL(d, priv, TCP_DATAGRAMS_MAGIC);
	(void)events;
	for (int i = 0; i < TCP_DATAGRAM_BATCH && d->w.fd >= 0 && !d->q->done; i++) {
		struct sockaddr_storage from = {};
		socklen_t fromlen = sizeof from;
		ssize_t n = ODR_recvfrom(d->w.fd, buf, sizeof buf, 0,
		    reinterpret_cast<struct sockaddr *>(&from), &fromlen);
		int e = n == -1 ? ODR_sockError() : 0;
		if (n == -1 && (e == ODR_EWOULDBLOCK || e == ODR_EINTR))
			return;
		/* A server's unreachable port reported late, or a datagram
		 * larger than any frame: that one is lost, the rest read on. */
		if (n == -1 && !ODR_sockErrorIsReset(e))
			tcpd_sock_fail(d->q->env, "recvfrom(2)", e);
		if (n > 0)
			tcpd_one(d, buf, (size_t)n, &from, fromlen);
	}
}

/* A socket of `family` bound to a port of the kernel's choice: an IPv6
 * one takes IPv4 too; -1 when any of it fails, `call` saying what. */
static int
tcpd_socket(int family, const char **call)
{
	struct sockaddr_storage any = {};
	socklen_t len = sizeof(struct sockaddr_in);
	int off = 0;

	*call = "socket(2)";
	int fd = tcp_sys_dgram_socket(family);
	if (fd == -1)
		return -1;
	if (dnsc_conf.use_windivert)
		tcp_sys_exempt(fd);
	any.ss_family = (decltype(any.ss_family))family;
	if (family == AF_INET6) {
		/* in6addr_any is all zeroes, as the storage already is. */
		len = sizeof(struct sockaddr_in6);
		*call = "setsockopt(2) IPV6_V6ONLY";
		if (ODR_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0)
			goto fail;
	}
	*call = "bind(2)";
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&any), len) != 0)
		goto fail;
	return fd;
fail:
	int e = ODR_sockError();
	(void)ODR_closesocket(fd);
	ODR_setSockError(e);
	return -1;
}

/* The query's socket: non-blocking, exempt from diversion, bound to a
 * port of the kernel's choice and in the readiness set, of `family`; false
 * (logged) when any of it fails. */
static bool
tcpd_open(struct tcp_query *q, struct tcp_datagrams *d, int family)
{
	const char *call = "socket(2)";

	d->family = family;
	tcp_watch_init(&d->w, tcpd_socket(family, &call), tcpd_event, d);
	if (d->w.fd == -1)
		goto fail;
	call = "the readiness set";
	if (tcp_poll_add(q->env->poll, d->w.fd, TCP_POLL_IN, &d->w) != 0)
		goto fail;
	return true;
fail:
	tcpd_sock_fail(q->env, call, ODR_sockError());
	if (d->w.fd != -1)
		(void)ODR_closesocket(d->w.fd);
	d->w.fd = -1;
	return false;
}

/* The query under the datagrams' ID, framed into `frame`; its length, or
 * -1 (logged) when it is too long for a frame. */
static int
tcpd_frame(struct tcp_query *q, uint16_t id, uint8_t *frame, size_t size)
{
	uint8_t msg[QCA_FRAME_MAXMSG];
	size_t len = q->wire.size() - 2;

	if (len > sizeof msg) {
		vtc_limit_log(&q->env->lim_too_long, vl,
		    "QILEC_00839: Query over TCP of %zu bytes is too long for encrypted servers; not sent to them.",
		    len);
		return -1;
	}
	memcpy(msg, q->wire.data() + 2, len);
	msg[0] = (uint8_t)(id >> 8);
	msg[1] = (uint8_t)(id & 0xff);
	int n = QCA_frame(&upstreams.upstream_key, msg, len, frame, size);
	QIL_ASSERT(n > 0);
	return n;
}

bool
tcpq_datagrams_start(struct tcp_query *q)
{
	uint8_t frame[QCA_FRAME_MAXSIZE];

	CHECK_OBJ_NOTNULL(q, TCP_QUERY_MAGIC);
	auto is_encrypted = [](const struct upstream_server &us) {
		return (us.flags & UPSTREAM_ENCRYPTED) != 0;
	};
	const struct upstream_server *all = upstreams.upstream_servers;
	if (std::none_of(all, all + upstreams.n_upstream_servers, is_encrypted))
		return false;
	/* A fresh ID: answers to a datagram can be forged by anyone who
	 * guesses its port and ID, and the client's ID may be no secret. */
	uint16_t id = (uint16_t)ODR_random(vl);
	int n = tcpd_frame(q, id, frame, sizeof frame);
	if (n < 0)
		return false;
	auto d = std::make_unique<tcp_datagrams>();
	d->magic = TCP_DATAGRAMS_MAGIC;
	d->q = q;
	d->id = id;
	bool any6 = std::any_of(all, all + upstreams.n_upstream_servers,
	    [&](const struct upstream_server &us) {
		    return is_encrypted(us) && us.addr.ss_family == AF_INET6;
	    });
	if (!tcpd_open(q, d.get(), any6 ? AF_INET6 : AF_INET))
		return false;
	for (const auto *us = all; us < all + upstreams.n_upstream_servers; us++) {
		if (!is_encrypted(*us))
			continue;
		struct sockaddr_storage to;
		socklen_t tolen = tcpd_dest(d->family, us, &to);
		if (ODR_sendto(d->w.fd, frame, (size_t)n, 0,
		    reinterpret_cast<const struct sockaddr *>(&to), tolen) < 0) {
			tcpd_sock_fail(q->env, "sendto(2)", ODR_sockError());
			continue;
		}
		d->waiting.push_back(us);
		q->open++;
	}
	bool asked = !d->waiting.empty();
	q->dgrams = std::move(d);
	if (!asked)
		tcpq_datagrams_close(q);
	return asked;
}
