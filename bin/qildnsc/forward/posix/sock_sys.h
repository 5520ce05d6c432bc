/*
 * posix/sock_sys.h -- the batch headers and the wait set of the sockets
 * module on Linux: recvmmsg(2)/sendmmsg(2) headers and an epoll(7) set.
 *
 * Only sockets.h includes this file, after its limits.
 */
#ifndef QILDNSC_SOCK_SYS_H
#define QILDNSC_SOCK_SYS_H

#include <sys/socket.h>
#include <sys/uio.h>

struct sock_batch_sys {
	struct mmsghdr hdr[SOCK_BATCH];
	struct iovec iov[SOCK_BATCH];
};

struct sock_sendq_sys {
	struct mmsghdr hdr[SOCK_SENDQ_MAX];
	struct iovec iov[SOCK_SENDQ_MAX];
};

struct sock_waitset {
	int epfd;
	int n;
};

#endif
