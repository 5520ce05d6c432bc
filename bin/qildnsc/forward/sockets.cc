/*
 * sockets.cc -- the listening and upstream sockets and the send queues;
 * the platform's part (posix/, win32/) waits, receives batches and sends
 * the queues.
 *
 * init_sockets() runs on the start-up thread; everything else on the
 * event-loop thread only.
 */
#include <string.h>

#include <algorithm>
#include <array>

#include "divert/divert_rewrite.h"
#include "divert/diversion.h"
#include "common/qildnsc.h"
#include "forward/sockets.h"
#include "servers/servers.h"
#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtcp.h"

/* Zero until sock_init(): the queues are large, and a handle made at
 * load time would carry them in the program file. */
struct forward_sockets socks;

void
sock_init(void)
{
	socks.local_fd = socks.local6_fd = -1;
	std::fill(std::begin(socks.remote_fds), std::end(socks.remote_fds), -1);
	std::fill(std::begin(socks.remote6_fds), std::end(socks.remote6_fds), -1);
	socks.n_remote_fds = socks.n_remote6_fds = 0;
	/* A client may give any source address, so the send errors it causes
	 * are rate-limited. */
	socks.sock_send_limit = VTC_LIMIT_INIT("sendto(2) error", VTCLOG_ERROR);
	for (auto &q : socks.sock_queues)
		q.n = 0;
	socks.magic = FORWARD_SOCKETS_MAGIC;
}

/* A bigger receive buffer than the default, so that a burst of queries or
 * answers waits in the kernel instead of being dropped there. */
static void
sock_rcvbuf(int fd)
{
	int size = SOCK_RCVBUF;

	if (ODR_setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_WARN, "QILEC_00868: setsockopt(2) SO_RCVBUF error: %d %s", e,
		    ODR_sockErrorText());
	}
}

/* One upstream socket of `family`, bound to a port of the kernel's random
 * choice. */
static int
open_upstream_socket(int family, int *fdp)
{
	int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 17);
	QIL_ASSERT(fd >= 0);
	*fdp = fd;
	int r = VTCP_nonblocking(fd);
	QIL_ASSERT(r == 0);
	sock_rcvbuf(fd);
	if (dnsc_conf.use_windivert)
		divert_exempt_socket(fd);
	struct sockaddr_storage any = {};
	socklen_t anylen = sizeof(struct sockaddr_in);
	any.ss_family = (decltype(any.ss_family))family;
	if (family == AF_INET6) {
		/* The IPv4 servers have sockets of their own. */
		int on = 1;
		(void)ODR_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
		anylen = sizeof(struct sockaddr_in6);
	}
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&any), anylen) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00881: bind(2) of an upstream socket error: %d %s",
		    e, ODR_sockErrorText());
		return -1;
	}
	return 0;
}

/* True when a server of `family` is configured. */
static bool
sock_servers_of(int family)
{
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++)
		if (upstreams.upstream_servers[i].addr.ss_family == family)
			return true;
	return false;
}

int
sock_listen_resolve(struct addrinfo **res)
{
	struct addrinfo hints = {};

	/* The address's own family: -l may name an IPv6 one. */
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_DGRAM;
	int r = getaddrinfo(dnsc_conf.listen_addr, dnsc_conf.listen_port, &hints, res);
	if (r != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00690: getaddrinfo(3) for %s:%s error: %s",
		    dnsc_conf.listen_addr, dnsc_conf.listen_port, gai_strerror(r));
		return -1;
	}
	return 0;
}

/* The listening socket on -l/-p, of the address's own family; -1
 * (logged) when it cannot be bound. */
static int
open_listening_socket(void)
{
	struct addrinfo *res = NULL;

	if (sock_listen_resolve(&res) != 0)
		return -1;
	socks.local_fd = socket(res->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 17);
	QIL_ASSERT(socks.local_fd >= 0);
	int r = VTCP_nonblocking(socks.local_fd);
	QIL_ASSERT(r == 0);
	/* No SO_REUSEADDR: on a datagram socket it would let a second
	 * program bind this address and port and quietly take the queries.
	 * Diversion mode's port 5353 is multicast DNS's too: there the
	 * diversion shares it with a responder on the wildcard address and
	 * keeps a second qildnsc out by a guard of its own. */
	if (dnsc_conf.use_windivert && divert_share_listener(socks.local_fd) != 0) {
		freeaddrinfo(res);
		return -1;
	}
	sock_rcvbuf(socks.local_fd);
	if (bind(socks.local_fd, res->ai_addr, res->ai_addrlen) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00691: bind(2) for %s:%s error: %d %s",
		    dnsc_conf.listen_addr, dnsc_conf.listen_port, e, ODR_sockErrorText());
		freeaddrinfo(res);
		return -1;
	}
	freeaddrinfo(res);
	return 0;
}

/*
 * Diversion mode turns IPv6 queries towards [::1] port 5353: a socket
 * there, readied as the first one. Without IPv6 on the machine it cannot
 * be bound; DNS over IPv6 is then left undiverted and IPv4's goes on.
 */
static void
open_listening_socket6(void)
{
	struct sockaddr_in6 lo = {};
	lo.sin6_family = AF_INET6;
	lo.sin6_addr = in6addr_loopback;
	lo.sin6_port = htons(DIVERT_LISTEN_PORT);

	int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 17);
	int on = 1;
	if (fd >= 0 && VTCP_nonblocking(fd) == 0 && divert_share_listener(fd) == 0 &&
	    ODR_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0 &&
	    bind(fd, reinterpret_cast<struct sockaddr *>(&lo), sizeof lo) == 0) {
		sock_rcvbuf(fd);
		socks.local6_fd = fd;
		return;
	}
	int e = ODR_sockError();
	vtc_log(vl, VTCLOG_WARN, "QILEC_00950: bind(2) for [::1]:%d error: %d %s; "
	    "DNS over IPv6 is not diverted.", DIVERT_LISTEN_PORT, e, ODR_sockErrorText());
	if (fd >= 0)
		(void)ODR_closesocket(fd);
	divert_without_ipv6();
}

int
init_sockets(void)
{
	sock_init();
	if (open_listening_socket() != 0)
		return -1;
	if (dnsc_conf.use_windivert && divert_takes_ipv6())
		open_listening_socket6();
	for (int i = 0; i < UPSTREAM_SOCKETS; i++) {
		if (open_upstream_socket(AF_INET, &socks.remote_fds[i]) != 0)
			return -1;
		socks.n_remote_fds = i + 1;
	}
	bool ipv6 = sock_servers_of(AF_INET6);
	for (int i = 0; ipv6 && i < UPSTREAM_SOCKETS; i++) {
		if (open_upstream_socket(AF_INET6, &socks.remote6_fds[i]) != 0)
			return -1;
		socks.n_remote6_fds = i + 1;
	}

	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Listening on %s:%s", dnsc_conf.listen_addr,
	    dnsc_conf.listen_port);
	return 0;
}

int
sock_local_fd(int family)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	return family == AF_INET6 && socks.local6_fd != -1 ? socks.local6_fd : socks.local_fd;
}

int
sock_local_fds(int *fds)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	int n = 0;
	for (int fd : {socks.local_fd, socks.local6_fd})
		if (fd != -1)
			fds[n++] = fd;
	return n;
}

int
sock_upstream_fd(int family, unsigned pick)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	if (family == AF_INET6)
		return socks.n_remote6_fds > 0 ?
		    socks.remote6_fds[pick % (unsigned)socks.n_remote6_fds] : -1;
	return socks.n_remote_fds > 0 ? socks.remote_fds[pick % (unsigned)socks.n_remote_fds] :
	    -1;
}

bool
sock_upstream_match(int sock, int family, unsigned pick)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	if (sock < socks.n_remote_fds)
		return family == AF_INET && (unsigned)sock == pick % (unsigned)socks.n_remote_fds;
	sock -= socks.n_remote_fds;
	return family == AF_INET6 && sock < socks.n_remote6_fds &&
	    (unsigned)sock == pick % (unsigned)socks.n_remote6_fds;
}

int
sock_upstream_fds(int *fds)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	int n = 0;
	for (int i = 0; i < socks.n_remote_fds; i++)
		fds[n++] = socks.remote_fds[i];
	for (int i = 0; i < socks.n_remote6_fds; i++)
		fds[n++] = socks.remote6_fds[i];
	return n;
}

bool
sock_recv_quiet(int err)
{
	return ODR_sockErrorIsReset(err) || err == ODR_EWOULDBLOCK || err == ODR_EINTR;
}

void
sock_send_failed(const char *code, int err)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	vtc_limit_log(&socks.sock_send_limit, vl, "%s: sendto(2) error: %d %s", code, err,
	    ODR_sockErrorText());
}

/* The queue of `fd`: the one holding its datagrams, or an empty one. */
static struct sock_sendq *
sock_queue_of(int fd)
{
	struct sock_sendq *empty = NULL;

	for (auto &q : socks.sock_queues) {
		if (q.n > 0 && q.fd == fd)
			return &q;
		if (q.n == 0 && empty == NULL)
			empty = &q;
	}
	if (empty == NULL) {
		/* More sockets than queues: make room. */
		empty = &socks.sock_queues[0];
		sock_sendq_flush(empty);
	}
	empty->fd = fd;
	return empty;
}

void
sock_send(int fd, const void *data, size_t len, const void *addr, int32_t addrlen,
          const char *code)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	QIL_ASSERT(len <= SOCK_DGRAM_MAX);
	struct sock_sendq *q = sock_queue_of(fd);
	int i = q->n++;
	memcpy(q->buf[i], data, len);
	q->len[i] = len;
	size_t alen = addrlen > 0 ? std::min((size_t)addrlen, sizeof q->to[i]) : 0;
	memcpy(&q->to[i], addr, alen);
	/* As given: a length the socket layer refuses fails this datagram. */
	q->tolen[i] = (socklen_t)addrlen;
	q->code[i] = code;
	if (q->n == SOCK_SENDQ_MAX)
		sock_sendq_flush(q);
}

void
sock_flush(void)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	for (auto &q : socks.sock_queues)
		if (q.n > 0)
			sock_sendq_flush(&q);
}

void
sock_log_flush(double now)
{
	CHECK_OBJ_NOTNULL(&socks, FORWARD_SOCKETS_MAGIC);
	vtc_limit_flush(&socks.sock_send_limit, vl, now);
}

int
sock_wake_open(void)
{
	struct sockaddr_in sin = {};
	socklen_t len = sizeof sin;

	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17);
	if (fd < 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01000: wake socket error: %d %s", e,
		    ODR_sockErrorText());
		return -1;
	}
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	auto *sa = reinterpret_cast<struct sockaddr *>(&sin);
	/* Connected to itself: nobody else's datagram gets in. */
	if (VTCP_nonblocking(fd) != 0 || bind(fd, sa, sizeof sin) != 0 ||
	    getsockname(fd, sa, &len) != 0 || connect(fd, sa, len) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01000: wake socket error: %d %s", e,
		    ODR_sockErrorText());
		(void)ODR_closesocket(fd);
		return -1;
	}
	return fd;
}

void
sock_wake(int fd)
{
	static const uint8_t one = 1;

	QIL_ASSERT(fd >= 0);
	/* A full buffer already holds a wake-up. */
	(void)ODR_send(fd, &one, sizeof one, 0);
}

void
sock_wake_drain(int fd)
{
	uint8_t buf[16];

	QIL_ASSERT(fd >= 0);
	for (int i = 0; i < 64 && ODR_recvplain(fd, buf, sizeof buf, 0) > 0; i++)
		continue;
}
