/*
 * win32/odr_random.cc -- secure random numbers on Windows, from rand_s().
 * Safe on any thread.
 */
#define _CRT_RAND_S /* declares rand_s() in stdlib.h */
#include <stdlib.h>

#include "odr.h"
#include "odr_random.h"
#include "vtc_log.h"

/* One value into `*v`; -1 after the failure is logged. */
static int
odr_rand_s(struct vtclog *vl, unsigned int *v)
{
	errno_t e = rand_s(v);
	if (e != 0) {
		vtc_log(vl, VTCLOG_ERROR, "rand_s() failed %d", (int)e);
		return -1;
	}
	return 0;
}

uint32_t
ODR_random(struct vtclog *vl)
{
	unsigned int v;

	return odr_rand_s(vl, &v) == 0 ? v : 0;
}

int
ODR_randomCheck(struct vtclog *vl)
{
	unsigned int v;

	return odr_rand_s(vl, &v);
}
