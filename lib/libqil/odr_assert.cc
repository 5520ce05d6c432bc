/*
 * odr_assert.cc -- the OS layer's assertion reporter, the same on every
 * platform: the failed check on standard output, then abort().
 *
 * Safe on any thread.
 */
#include <stdio.h>
#include <stdlib.h>

#include "odr.h"

void
ODR_assert_fail(const char *func, const char *file, int line, const char *expr,
                int value)
{
	printf("assert fail! %s %s:%d %s %d\n", func, file, line, expr, value);
	fflush(stdout);
	abort();
}
