/*
 * win32/tcp_server.cc -- DNS over TCP on Windows: not served. The program
 * listens for datagrams only; init_tcp() opens nothing and the shell never
 * starts tcp_thread().
 */
#include <stddef.h>

#include "tcp_server.h"

int tcp_listen_fd = -1;

int
init_tcp(void)
{
	return 0;
}

void *
tcp_thread(void *arg)
{
	(void)arg;
	return NULL;
}
