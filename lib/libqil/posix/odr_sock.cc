/*
 * posix/odr_sock.cc -- the socket calls of the OS layer, straight onto the
 * Linux system calls. Safe on any thread.
 */
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include "odr.h"

int
ODR_closesocket(int sock)
{
	return close(sock);
}

int
ODR_setnonblocking(int sock, int on)
{
	/* FIONBIO changes only the non-blocking bit, in one call, without the
	 * read-modify-write of fcntl(2). */
	return ioctl(sock, FIONBIO, &on);
}

int
ODR_setsocktimeout(int sock, int optname, double sec)
{
	struct timeval tv = {};

	tv.tv_sec = (time_t)sec;
	tv.tv_usec = (suseconds_t)((sec - (double)tv.tv_sec) * 1e6);
	return setsockopt(sock, SOL_SOCKET, optname, &tv, sizeof tv);
}

int
ODR_setsockopt(int sock, int level, int optname, const void *val, size_t len)
{
	return setsockopt(sock, level, optname, val, (socklen_t)len);
}

int
ODR_getsockopt(int sock, int level, int optname, void *val, socklen_t *len)
{
	return getsockopt(sock, level, optname, val, len);
}

ssize_t
ODR_send(int sock, const void *buf, size_t len, int flags)
{
	return send(sock, buf, len, flags);
}

ssize_t
ODR_recvplain(int sock, void *buf, size_t len, int flags)
{
	return recv(sock, buf, len, flags);
}

ssize_t
ODR_sendto(int sock, const void *buf, size_t len, int flags, const struct sockaddr *to,
           socklen_t tolen)
{
	return sendto(sock, buf, len, flags, to, tolen);
}

int
ODR_poll(struct pollfd *fds, size_t nfds, int timeout_ms)
{
	return poll(fds, (nfds_t)nfds, timeout_ms);
}

uint32_t
ODR_ifindex(const char *name)
{
	return if_nametoindex(name);
}
