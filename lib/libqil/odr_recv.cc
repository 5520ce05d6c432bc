/*
 * odr_recv.cc -- the stream receive of the OS layer with its failure
 * logged, the same on every platform: the receive itself is the platform's
 * ODR_recvplain(). Safe on any thread.
 */
#include "odr.h"
#include "odr_recv.h"
#include "vtc_log.h"

ssize_t
ODR_recv(struct vtclog *vl, int sock, void *buf, size_t len, int flags)
{
	int removed = 0;

	/* Windows XP's Winsock refuses the wait-for-all flag. */
	if ((flags & ODR_MSG_WAITALL) && ODR_osversion == 2) {
		flags &= ~ODR_MSG_WAITALL;
		removed = 1;
	}
	ssize_t r = ODR_recvplain(sock, buf, len, flags);
	if (r == -1) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_WARN, "QILEC_00440: recv(2) error: read %d error %ld",
		    (int)r, (long)e);
		ODR_setSockError(e);
	} else if (removed && (size_t)r < len) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00441: recv(2) error: read %d (expected %d)",
		    (int)r, (int)len);
	}
	return r;
}
