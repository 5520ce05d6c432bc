/*
 * posix/tcp_sys.cc -- the socket calls of DNS over TCP on Linux.
 */
#include <errno.h>
#include <netinet/in.h> /* before the kernel's header, which then defers to it */
#include <linux/netfilter_ipv4.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "divert/diversion.h"
#include "tcp/tcp_sys.h"

int
tcp_sys_socket(int family)
{
	return socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int
tcp_sys_dgram_socket(int family)
{
	return socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void
tcp_sys_listener_options(int fd)
{
	int on = 1;

	(void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int
tcp_sys_accept(int fd, struct sockaddr_storage *ss)
{
	socklen_t sl = sizeof *ss;

	return accept4(fd, reinterpret_cast<struct sockaddr *>(ss), &sl,
	    SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool
tcp_sys_accept_again(int err)
{
	return err == EAGAIN || err == EINTR || err == ECONNABORTED;
}

ssize_t
tcp_sys_recv(int fd, void *buf, size_t len)
{
	return recv(fd, buf, len, 0);
}

/* The original destination of an IPv6 connection: the IPv4 option's
 * number at the IPv6 level (linux/netfilter_ipv6/ip6_tables.h, which does
 * not go with the C library's headers). */
#define TCP_SYS_IP6_ORIGINAL_DST 80

bool
tcp_sys_redirected(int fd)
{
	struct sockaddr_storage own = {}, orig = {};
	socklen_t len = sizeof own, olen = sizeof orig;

	if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&own), &len) != 0)
		return false;
	/* The kernel's NAT knows it; a connection it did not touch has the
	 * address it reached (or no record, ENOENT). */
	if (own.ss_family == AF_INET6) {
		const auto *a = reinterpret_cast<const struct sockaddr_in6 *>(&own);
		const auto *o = reinterpret_cast<const struct sockaddr_in6 *>(&orig);
		return getsockopt(fd, SOL_IPV6, TCP_SYS_IP6_ORIGINAL_DST, &orig, &olen) == 0 &&
		    (a->sin6_port != o->sin6_port ||
		    memcmp(&a->sin6_addr, &o->sin6_addr, sizeof a->sin6_addr) != 0);
	}
	const auto *a = reinterpret_cast<const struct sockaddr_in *>(&own);
	const auto *o = reinterpret_cast<const struct sockaddr_in *>(&orig);
	return getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &orig, &olen) == 0 &&
	    (a->sin_port != o->sin_port || a->sin_addr.s_addr != o->sin_addr.s_addr);
}

void
tcp_sys_exempt(int fd)
{
	int mark = QILDNSC_UPSTREAM_MARK;

	(void)setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark);
}

void
tcp_sys_divert_listener(int fd)
{
	int mark = DIVERT_LISTEN_MARK;

	(void)setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark);
}

void
tcp_sys_raise_limit(void)
{
	struct rlimit rl;

	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
		rl.rlim_cur = rl.rlim_max;
		(void)setrlimit(RLIMIT_NOFILE, &rl);
	}
}

const char *
tcp_sys_strerror(int err)
{
	return strerror(err);
}
