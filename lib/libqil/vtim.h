/*
 * vtim.h -- clocks as double seconds. Safe on any thread; a failing clock
 * is fatal, so nothing here returns an error.
 */
#ifndef QIL_VTIM_H
#define QIL_VTIM_H

/* The time of day in seconds since 1970, to the microsecond. */
double VTIM_now(void);
/* The real time in seconds since 1970, to the nanosecond. */
double VTIM_real(void);
/* Monotonic seconds from an arbitrary start: for time-outs and deadlines. */
double VTIM_mono(void);

struct odr_timeval;
/* `tv` as seconds, to the microsecond: a clock reading kept as a timeval
 * (the hold queue's) on the scale of the ones above. */
double VTIM_tv(const struct odr_timeval *tv);

#endif
