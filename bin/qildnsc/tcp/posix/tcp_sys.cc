/*
 * posix/tcp_sys.cc -- the socket calls of DNS over TCP on Linux.
 */
#include <errno.h>
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
