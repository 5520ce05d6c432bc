/*
 * win32/odr_time.cc -- the clocks of the OS layer: the system time for the
 * realtime clock, the performance counter for the monotonic one.
 *
 * Safe on any thread. The counter's frequency is fixed at boot; it is read
 * on first use and kept. msvcrt's strftime() knows no "%T", which the log
 * uses: ODR_strftime() spells it out first.
 */
#include <string.h>
#include <time.h>

#include "odr.h"

/* 100-nanosecond intervals from 1601-01-01 to 1970-01-01. */
static constexpr int64_t ODR_EPOCH_DIFF = INT64_C(116444736000000000);

static void
odr_realtime(struct odr_timespec *ts)
{
	FILETIME ft;

	GetSystemTimePreciseAsFileTime(&ft);
	int64_t t = (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) -
	    ODR_EPOCH_DIFF;
	ts->tv_sec = t / 10000000;
	ts->tv_nsec = (t % 10000000) * 100;
	if (ts->tv_nsec < 0) {
		ts->tv_sec--;
		ts->tv_nsec += 1000000000;
	}
}

static void
odr_monotonic(struct odr_timespec *ts)
{
	static int64_t freq;
	LARGE_INTEGER c;

	if (freq == 0) {
		LARGE_INTEGER f;
		AN(QueryPerformanceFrequency(&f));
		freq = f.QuadPart;
	}
	AN(QueryPerformanceCounter(&c));
	ts->tv_sec = c.QuadPart / freq;
	ts->tv_nsec = (c.QuadPart % freq) * 1000000000 / freq;
}

int
ODR_clock_gettime(int clock, struct odr_timespec *ts)
{
	AN(ts);
	switch (clock) {
	case ODR_CLOCK_MONOTONIC:
	case 4: /* accepted as a synonym of the monotonic clock */
		odr_monotonic(ts);
		break;
	case ODR_CLOCK_REALTIME:
		odr_realtime(ts);
		break;
	default:
		QIL_ASSERT_TEXT(0, "clock == ODR_CLOCK_MONOTONIC || clock == ODR_CLOCK_REALTIME");
	}
	return 0;
}

size_t
ODR_strftime(char *buf, const char *fmt, double t)
{
	__time64_t tt = (__time64_t)t;
	struct tm tm;
	char f[128];
	size_t n = 0;

	/* The output holds 30 bytes, so a longer format cannot fit anyway. */
	for (const char *p = fmt; *p != '\0' && n + 9 < sizeof f; p++) {
		if (p[0] == '%' && p[1] == 'T') {
			memcpy(f + n, "%H:%M:%S", 8);
			n += 8;
			p++;
		} else {
			f[n++] = *p;
			if (p[0] == '%' && p[1] != '\0')
				f[n++] = *++p;
		}
	}
	f[n] = '\0';
	AZ(_gmtime64_s(&tm, &tt));
	return strftime(buf, 30, f, &tm);
}
