/*
 * posix/odr_time.cc -- the clocks of the OS layer on clock_gettime(2).
 *
 * Safe on any thread. A clock failure means we are broken: it is fatal.
 */
#include <time.h>

#include "odr.h"

int
ODR_clock_gettime(int clock, struct odr_timespec *ts)
{
	struct timespec t;
	clockid_t id;

	AN(ts);
	switch (clock) {
	case ODR_CLOCK_MONOTONIC:
	case 4: /* accepted as a synonym of the monotonic clock */
		id = CLOCK_MONOTONIC;
		break;
	case ODR_CLOCK_REALTIME:
		id = CLOCK_REALTIME;
		break;
	default:
		QIL_ASSERT_TEXT(0, "clock == ODR_CLOCK_MONOTONIC || clock == ODR_CLOCK_REALTIME");
	}
	AZ(clock_gettime(id, &t));
	ts->tv_sec = t.tv_sec;
	ts->tv_nsec = t.tv_nsec;
	return 0;
}

size_t
ODR_strftime(char *buf, const char *fmt, double t)
{
	time_t tt = (time_t)t;
	struct tm tm;

	AN(gmtime_r(&tt, &tm));
	return strftime(buf, 30, fmt, &tm);
}
