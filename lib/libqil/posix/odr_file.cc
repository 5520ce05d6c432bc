/*
 * posix/odr_file.cc -- the lock of a file on Linux: flock(2), which belongs
 * to the open file and goes with its last descriptor, however the process
 * ends. Safe on any thread.
 */
#include <sys/file.h>

#include "odr.h"

int
ODR_lockfile(int fd)
{
	/* EWOULDBLOCK in errno when another process holds it. */
	return flock(fd, LOCK_EX | LOCK_NB);
}
