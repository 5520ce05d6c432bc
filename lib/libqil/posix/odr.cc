/*
 * posix/odr.cc -- the Linux OS layer: start-up, the datagram receive, the
 * socket errors and the string helpers.
 *
 * Any thread may call these; only ODR_libinit() is limited to the first
 * thread at start-up.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include "odr.h"

int ODR_osversion;

int
ODR_libinit(void)
{
	/* No socket library to start and no thread layer to set up here. */
	ODR_osversion = ODR_GetOSVersion();
	return 0;
}

int
ODR_GetOSVersion(void)
{
	/* The generation codes describe Windows releases only. */
	return 0;
}

ssize_t
ODR_recvfrom(int sock, void *buf, size_t len, int flags, struct sockaddr *from,
             socklen_t *fromlen)
{
	struct iovec iov = {buf, len};
	struct msghdr msg = {};

	msg.msg_name = from;
	msg.msg_namelen = fromlen != nullptr ? *fromlen : 0;
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	ssize_t r = recvmsg(sock, &msg, flags);
	if (r < 0)
		return r;
	if (fromlen != nullptr)
		*fromlen = msg.msg_namelen;
	if (msg.msg_flags & MSG_TRUNC) {
		/* The rest of the datagram is gone; never hand on a torso. */
		errno = EMSGSIZE;
		return -1;
	}
	return r;
}

int
ODR_sockError(void)
{
	return errno;
}

const char *
ODR_sockErrorText(void)
{
	/* Each thread its own: the event loop, the TCP thread and the
	 * diversion thread each log socket errors. */
	static thread_local char text[512];

	/*
	 * The system's own words, which a person can act on ("Address already
	 * in use", "Permission denied"). The resolver's host-not-found and
	 * no-data codes never travel in errno on Linux (their numbers would
	 * alias EPERM and EINTR), so no errno value is read as one of them.
	 */
	int e = errno;
	const char *s = strerror_r(e, text, sizeof text);
	if (s != text)
		snprintf(text, sizeof text, "%s", s);
	errno = e;
	return text;
}

void
ODR_setSockError(int err)
{
	errno = err;
}

int
ODR_sockErrorIsReset(int err)
{
	return err == ECONNREFUSED || err == ECONNRESET;
}

char *
ODR_strdup(const char *s)
{
	return strdup(s);
}

char *
ODR_strndup(const char *s, size_t n)
{
	return strndup(s, n);
}

int
ODR_strncasecmp(const char *a, const char *b, size_t n)
{
	return strncasecmp(a, b, n);
}
