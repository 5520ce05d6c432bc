/*
 * win32/sock_sys.h -- the batch headers and the wait set of the sockets
 * module on Windows. Winsock has no batch call: a batch is received and a
 * queue sent one datagram per call, so no headers are kept; the wait is a
 * select() over the set's sockets.
 *
 * Only sockets.h includes this file, after its limits.
 */
#ifndef QILDNSC_SOCK_SYS_H
#define QILDNSC_SOCK_SYS_H

struct sock_batch_sys {
	char unused;
};

struct sock_sendq_sys {
	char unused;
};

struct sock_waitset {
	int n;
	int fds[SOCK_WAIT_MAX];
};

#endif
