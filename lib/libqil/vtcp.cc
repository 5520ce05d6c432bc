/*
 * vtcp.cc -- socket options: blocking mode, address reuse, time-outs.
 */
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "odr.h"
#include "vss.h"
#include "vtcp.h"

/* FIONBIO changes only the non-blocking bit, in one call, without the
 * read-modify-write of fcntl(2). */
static int
vtcp_setnonblock(int sock, int on)
{
	return ioctl(sock, FIONBIO, &on);
}

int
VTCP_blocking(int sock)
{
	int r = vtcp_setnonblock(sock, 0);
	QIL_ASSERT_TEXT(r == 0, "r == NO_ERROR");
	return 0;
}

int
VTCP_nonblocking(int sock)
{
	return vtcp_setnonblock(sock, 1) == 0 ? 0 : -1;
}

int
VTCP_reuseaddr(int sock)
{
	int on = 1;

	return setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

void
VTCP_setTimeout(int sock, int sec)
{
	struct timeval tv = {};

	QIL_ASSERT(sec > 0);
	tv.tv_sec = sec;
	int ret = setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
	QIL_ASSERT(ret == 0);
	(void)setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
