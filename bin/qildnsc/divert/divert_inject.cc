/*
 * divert_inject.cc -- the raw sockets of the diversion thread.
 */
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/qildnsc.h"
#include "divert/divert_inject.h"
#include "divert/divert_rules.h"
#include "vtc_log.h"

/* A raw socket of `family` whose packets carry their own header and our
 * upstream mark; -1 and errno set on failure. */
static int
divert_raw_socket(int family)
{
	int fd = socket(family, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
	if (fd == -1)
		return -1;
	int mark = QILDNSC_UPSTREAM_MARK;
	int on = 1;
	/* IPPROTO_RAW implies the header over IPv6; IPv4 is told. */
	if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0 ||
	    (family == AF_INET && setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0)) {
		int e = errno;
		(void)close(fd);
		errno = e;
		return -1;
	}
	/* It sends and never reads: what it would be given is not ours. */
	(void)shutdown(fd, SHUT_RD);
	return fd;
}

void
divert_inject_open(struct divert_inject *in)
{
	AN(in);
	in->magic = DIVERT_INJECT_MAGIC;
	in->fd4 = divert_raw_socket(AF_INET);
	int e = errno;
	in->fd6 = in->fd4 == -1 ? -1 : divert_raw_socket(AF_INET6);
	if (in->fd4 != -1 && in->fd6 == -1)
		e = errno;
	if (in->fd4 == -1 || in->fd6 == -1)
		vtc_log(vl, VTCLOG_WARN, "QILEC_01070: raw socket(2) error: %d %s; a program whose "
		    "socket is bound to an interface, or that asks a link-local server, gets no "
		    "answer while DNS is diverted (it takes CAP_NET_RAW).", e, strerror(e));
}

bool
divert_inject_send(struct divert_inject *in, const uint8_t *pkt, size_t len, unsigned scope)
{
	CHECK_OBJ_NOTNULL(in, DIVERT_INJECT_MAGIC);
	if (len < 1)
		return false;
	ssize_t n;
	if ((pkt[0] >> 4) == 4) {
		if (in->fd4 == -1 || len < 20)
			return false;
		struct sockaddr_in sin = {};
		sin.sin_family = AF_INET;
		memcpy(&sin.sin_addr, pkt + 16, 4);
		n = sendto(in->fd4, pkt, len, 0, reinterpret_cast<struct sockaddr *>(&sin),
		    sizeof sin);
	} else {
		if (in->fd6 == -1 || len < 40)
			return false;
		struct sockaddr_in6 sin6 = {};
		sin6.sin6_family = AF_INET6;
		memcpy(&sin6.sin6_addr, pkt + 24, 16);
		/* Only a link-local address has a scope to be routed by. */
		if (IN6_IS_ADDR_LINKLOCAL(&sin6.sin6_addr))
			sin6.sin6_scope_id = scope;
		n = sendto(in->fd6, pkt, len, 0, reinterpret_cast<struct sockaddr *>(&sin6),
		    sizeof sin6);
	}
	return n == (ssize_t)len;
}
