/*
 * posix/odr.cc -- the Linux OS layer: start-up, receives with logging,
 * secure random numbers and socket errors.
 *
 * Any thread may call these; only ODR_libinit() is limited to the first
 * thread at start-up.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>

#include "odr.h"
#include "vtc_limit.h"
#include "vtc_log.h"

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
ODR_recv(struct vtclog *vl, int sock, void *buf, size_t len, int flags)
{
	int removed = 0;

	if ((flags & ODR_MSG_WAITALL) && ODR_osversion == 2) {
		flags &= ~ODR_MSG_WAITALL;
		removed = 1;
	}
	ssize_t r = recv(sock, buf, len, flags);
	if (r == -1) {
		int e = errno;
		vtc_log(vl, VTCLOG_WARN, "QILEC_00440: recv(2) error: read %d error %ld",
		    (int)r, (long)e);
		errno = e;
	} else if (removed && (size_t)r < len) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00441: recv(2) error: read %d (expected %d)",
		    (int)r, (int)len);
	}
	return r;
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

/*
 * Values are drawn from the kernel's generator a block at a time, so that
 * a busy caller (one draw per forwarded query) does not pay a system call
 * per value. Each thread has its own block.
 */
static thread_local uint32_t odr_pool[64];
static thread_local size_t odr_left;

/* Refills the calling thread's block; -1 after a logged failure. */
static int
odr_random_fill(struct vtclog *vl)
{
	ssize_t r;

	do
		r = getrandom(odr_pool, sizeof odr_pool, 0);
	while (r == -1 && errno == EINTR);
	if (r != (ssize_t)sizeof odr_pool) {
		/* A failing generator fails every draw: one line per draw
		 * would flood the log. */
		static thread_local struct vtc_limit lim =
		    VTC_LIMIT_INIT("rand_s() failed", VTCLOG_ERROR);
		vtc_limit_log(&lim, vl, "rand_s() failed %d", r == -1 ? errno : EIO);
		return -1;
	}
	odr_left = sizeof odr_pool / sizeof odr_pool[0];
	return 0;
}

uint32_t
ODR_random(struct vtclog *vl)
{
	if (odr_left == 0 && odr_random_fill(vl) != 0)
		return 0;
	uint32_t v = odr_pool[--odr_left];
	odr_pool[odr_left] = 0; /* a value handed out is not kept */
	return v;
}

int
ODR_randomCheck(struct vtclog *vl)
{
	/* The block drawn here is used by the next draws of this thread. */
	return odr_random_fill(vl);
}

int
ODR_sockError(void)
{
	return errno;
}

const char *
ODR_sockErrorText(void)
{
	static char text[512];

	/*
	 * The resolver's host-not-found and no-data codes never travel in errno
	 * on Linux, and their numbers would alias EPERM and EINTR, so every
	 * errno value gets the neutral text.
	 */
	snprintf(text, sizeof text, "Unknown %d", errno);
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
