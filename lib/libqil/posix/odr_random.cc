/*
 * posix/odr_random.cc -- secure random numbers on Linux, from getrandom(2).
 *
 * Values are drawn from the kernel's generator a block at a time, so that
 * a busy caller (one draw per forwarded query) does not pay a system call
 * per value. Each thread has its own block; any thread may call.
 */
#include <errno.h>
#include <sys/random.h>

#include "odr.h"
#include "odr_random.h"
#include "vtc_limit.h"
#include "vtc_log.h"

/* The calling thread's block: values are handed out from the end. */
struct odr_pool {
	uint32_t v[64];
	size_t left; /* values not yet handed out */
};

static thread_local struct odr_pool odr_pool;

/* Refills the calling thread's block; -1 after a logged failure. */
static int
odr_random_fill(struct vtclog *vl)
{
	ssize_t r;

	do
		r = getrandom(odr_pool.v, sizeof odr_pool.v, 0);
	while (r == -1 && errno == EINTR);
	if (r != (ssize_t)sizeof odr_pool.v) {
		/* A failing generator fails every draw: one line per draw
		 * would flood the log. */
		static thread_local struct vtc_limit lim =
		    VTC_LIMIT_INIT("rand_s() failed", VTCLOG_ERROR);
		vtc_limit_log(&lim, vl, "rand_s() failed %d", r == -1 ? errno : EIO);
		return -1;
	}
	odr_pool.left = sizeof odr_pool.v / sizeof odr_pool.v[0];
	return 0;
}

uint32_t
ODR_random(struct vtclog *vl)
{
	if (odr_pool.left == 0 && odr_random_fill(vl) != 0)
		return 0;
	uint32_t v = odr_pool.v[--odr_pool.left];
	odr_pool.v[odr_pool.left] = 0; /* a value handed out is not kept */
	return v;
}

int
ODR_randomCheck(struct vtclog *vl)
{
	/* The block drawn here is used by the next draws of this thread. */
	return odr_random_fill(vl);
}
