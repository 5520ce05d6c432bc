/*
 * odr_random.h -- secure random numbers from the system's generator, with
 * its failures written to the log.
 *
 * It stands above the log (vtc_log, vtc_limit), which itself stands on
 * odr.h; the platform folders implement it (posix/odr_random.cc,
 * win32/odr_random.cc). Safe on any thread.
 */
#ifndef QIL_ODR_RANDOM_H
#define QIL_ODR_RANDOM_H

#include <stdint.h>

struct vtclog;

/* A uniformly distributed value from the system's secure generator; any
 * thread. 0 after a failure logged through `vl`. */
uint32_t ODR_random(struct vtclog *vl);

/* 0 when the generator gives values; -1 after the failure is logged as in
 * ODR_random(). The start-up asks once, since 0 is also a valid value. */
int ODR_randomCheck(struct vtclog *vl);

#endif
