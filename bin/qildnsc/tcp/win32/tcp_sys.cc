/*
 * win32/tcp_sys.cc -- the socket calls of DNS over TCP on Windows. The
 * program starts no child processes there, so sockets need no guard
 * against inheritance (odr_sys.h). Diversion on Windows matches DNS
 * datagrams by port: upstream sockets need no exemption.
 */
#include <stdio.h>

#include "tcp/tcp_sys.h"

/* `s` made non-blocking, or closed (its error kept for the caller): -1. */
static int
tcp_sys_nonblocking(SOCKET s)
{
	if (ODR_setnonblocking((int)s, 1) != 0) {
		int e = ODR_sockError();
		(void)closesocket(s);
		ODR_setSockError(e);
		return -1;
	}
	return (int)s;
}

/* A new non-blocking socket of `family` and `type`, or -1. */
static int
tcp_sys_new(int family, int type)
{
	SOCKET s = socket(family, type, 0);
	if (s == INVALID_SOCKET)
		return -1;
	return tcp_sys_nonblocking(s);
}

int
tcp_sys_socket(int family)
{
	return tcp_sys_new(family, SOCK_STREAM);
}

int
tcp_sys_dgram_socket(int family)
{
	return tcp_sys_new(family, SOCK_DGRAM);
}

void
tcp_sys_listener_options(int fd)
{
	/* Nothing to set: Winsock binds beside lingering connections by
	 * itself and refuses a second listener. Its SO_REUSEADDR would let a
	 * second listener take the port; SO_EXCLUSIVEADDRUSE would keep a
	 * restart off it while the last run's connections linger. */
	(void)fd;
}

int
tcp_sys_accept(int fd, struct sockaddr_storage *ss)
{
	int sl = sizeof *ss;
	SOCKET s = accept((SOCKET)fd, reinterpret_cast<struct sockaddr *>(ss), &sl);
	if (s == INVALID_SOCKET)
		return -1;
	/* Taken from a non-blocking listener, it is non-blocking already;
	 * said again, to depend on nothing. */
	return tcp_sys_nonblocking(s);
}

bool
tcp_sys_accept_again(int err)
{
	return err == WSAEWOULDBLOCK || err == WSAEINTR || err == WSAECONNRESET;
}

ssize_t
tcp_sys_recv(int fd, void *buf, size_t len)
{
	return recv((SOCKET)fd, static_cast<char *>(buf), (int)len, 0);
}

bool
tcp_sys_redirected(int fd)
{
	/* Diversion here turns datagrams alone. */
	(void)fd;
	return false;
}

void
tcp_sys_exempt(int fd)
{
	(void)fd;
}

void
tcp_sys_divert_listener(int fd)
{
	(void)fd;
}

void
tcp_sys_raise_limit(void)
{
	/* Winsock sets no per-process limit on sockets to raise. */
}

const char *
tcp_sys_strerror(int err)
{
	static thread_local char text[256];

	DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
	    NULL, (DWORD)err, 0, text, sizeof text, NULL);
	/* The system's texts end with a line break. */
	while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
		text[--n] = '\0';
	if (n == 0)
		(void)snprintf(text, sizeof text, "Unknown %d", err);
	return text;
}
