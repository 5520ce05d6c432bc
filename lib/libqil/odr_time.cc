/*
 * odr_time.cc -- the clocks that every platform derives from its
 * ODR_clock_gettime(): the time of day and the real time in seconds.
 *
 * Safe on any thread.
 */
#include "odr.h"

int
ODR_gettimeofday(struct odr_timeval *tv, void *tz)
{
	struct odr_timespec ts;

	AN(tv);
	QIL_ASSERT(tz == NULL);
	AZ(ODR_clock_gettime(ODR_CLOCK_REALTIME, &ts));
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = (int32_t)(ts.tv_nsec / 1000);
	return 0;
}

double
ODR_real(void)
{
	struct odr_timespec ts;

	AZ(ODR_clock_gettime(ODR_CLOCK_REALTIME, &ts));
	return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}
