/*
 * vtcp.cc -- socket options: blocking mode, address reuse, time-outs.
 */
#include "odr.h"
#include "vtcp.h"

int
VTCP_blocking(int sock)
{
	int r = ODR_setnonblocking(sock, 0);
	QIL_ASSERT_TEXT(r == 0, "r == NO_ERROR");
	return 0;
}

int
VTCP_nonblocking(int sock)
{
	return ODR_setnonblocking(sock, 1) == 0 ? 0 : -1;
}

int
VTCP_reuseaddr(int sock)
{
	int on = 1;

	return ODR_setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

void
VTCP_setTimeout(int sock, int sec)
{
	QIL_ASSERT(sec > 0);
	int ret = ODR_setsocktimeout(sock, SO_RCVTIMEO, sec);
	QIL_ASSERT(ret == 0);
	(void)ODR_setsocktimeout(sock, SO_SNDTIMEO, sec);
}
