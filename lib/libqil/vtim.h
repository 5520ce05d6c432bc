/*
 * vtim.h -- clocks as double seconds.
 */
#ifndef QIL_VTIM_H
#define QIL_VTIM_H

double VTIM_now(void);
double VTIM_real(void);
double VTIM_mono(void);

#endif
