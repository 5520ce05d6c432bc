/*
 * vtim.cc -- wall-clock and monotonic time as double seconds, on the OS
 * layer's clocks. Safe on any thread.
 */
#include "odr.h"
#include "vtim.h"

double
VTIM_now(void)
{
	struct odr_timeval tv;

	AZ(ODR_gettimeofday(&tv, NULL));
	return VTIM_tv(&tv);
}

double
VTIM_tv(const struct odr_timeval *tv)
{
	return (double)tv->tv_sec + (double)tv->tv_usec * 1e-6;
}

double
VTIM_real(void)
{
	return ODR_real();
}

double
VTIM_mono(void)
{
	struct odr_timespec ts;

	AZ(ODR_clock_gettime(ODR_CLOCK_MONOTONIC, &ts));
	return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}
