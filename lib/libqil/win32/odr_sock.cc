/*
 * win32/odr_sock.cc -- the socket calls of the OS layer on Winsock. Safe on
 * any thread.
 *
 * ODR_poll() is built on select(): WSAPoll() never reports a connect that
 * failed (the socket just stays not writable until the time-out), while
 * select() reports it in the exception set. Such a socket is returned as
 * writable, and the caller finds the error in SO_ERROR as on Linux.
 */
#include "odr.h"

#include <iphlpapi.h> /* if_nametoindex(), after Winsock's headers */

int
ODR_closesocket(int sock)
{
	return closesocket((SOCKET)sock) == 0 ? 0 : -1;
}

int
ODR_setnonblocking(int sock, int on)
{
	u_long arg = on != 0;

	return ioctlsocket((SOCKET)sock, FIONBIO, &arg) == 0 ? 0 : -1;
}

int
ODR_setsocktimeout(int sock, int optname, double sec)
{
	/* Winsock takes milliseconds in a DWORD, not a struct timeval; a
	 * fraction of one counts as one. */
	DWORD ms = (DWORD)(sec * 1000 + 0.999);

	return ODR_setsockopt(sock, SOL_SOCKET, optname, &ms, sizeof ms);
}

int
ODR_setsockopt(int sock, int level, int optname, const void *val, size_t len)
{
	return setsockopt((SOCKET)sock, level, optname, static_cast<const char *>(val),
	    (int)len) == 0 ? 0 : -1;
}

int
ODR_getsockopt(int sock, int level, int optname, void *val, socklen_t *len)
{
	return getsockopt((SOCKET)sock, level, optname, static_cast<char *>(val), len) == 0
	    ? 0 : -1;
}

ssize_t
ODR_send(int sock, const void *buf, size_t len, int flags)
{
	return send((SOCKET)sock, static_cast<const char *>(buf), (int)len, flags);
}

ssize_t
ODR_recvplain(int sock, void *buf, size_t len, int flags)
{
	return recv((SOCKET)sock, static_cast<char *>(buf), (int)len, flags);
}

ssize_t
ODR_sendto(int sock, const void *buf, size_t len, int flags, const struct sockaddr *to,
           socklen_t tolen)
{
	return sendto((SOCKET)sock, static_cast<const char *>(buf), (int)len, flags, to,
	    tolen);
}

int
ODR_poll(struct pollfd *fds, size_t nfds, int timeout_ms)
{
	fd_set rd, wr, ex;
	struct timeval tv, *tvp = NULL;

	QIL_ASSERT(nfds <= FD_SETSIZE);
	FD_ZERO(&rd);
	FD_ZERO(&wr);
	FD_ZERO(&ex);
	for (size_t i = 0; i < nfds; i++) {
		fds[i].revents = 0;
		if (fds[i].events & POLLIN)
			FD_SET(fds[i].fd, &rd);
		if (fds[i].events & POLLOUT) {
			FD_SET(fds[i].fd, &wr);
			FD_SET(fds[i].fd, &ex);
		}
	}
	if (timeout_ms >= 0) {
		tv.tv_sec = timeout_ms / 1000;
		tv.tv_usec = (timeout_ms % 1000) * 1000;
		tvp = &tv;
	}
	if (select(0, &rd, &wr, &ex, tvp) == -1)
		return -1;
	int n = 0;
	for (size_t i = 0; i < nfds; i++) {
		if (FD_ISSET(fds[i].fd, &rd))
			fds[i].revents |= POLLIN;
		if (FD_ISSET(fds[i].fd, &wr) || FD_ISSET(fds[i].fd, &ex))
			fds[i].revents |= POLLOUT;
		n += fds[i].revents != 0;
	}
	return n;
}

uint32_t
ODR_ifindex(const char *name)
{
	/* The name of its own that Windows gives each interface
	 * ("ethernet_32768"), not the one shown to people. */
	return if_nametoindex(name);
}
