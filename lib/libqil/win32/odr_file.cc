/*
 * win32/odr_file.cc -- the lock of a file on Windows. Its locks are
 * mandatory: a locked byte can be read by nobody else. The one byte locked
 * lies far beyond any end the file will reach, so that a reader of the
 * file sees all of it while a second lock on it is refused. Safe on any
 * thread.
 */
#include <errno.h>
#include <io.h>

#include "odr.h"

int
ODR_lockfile(int fd)
{
	HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
	if (h == INVALID_HANDLE_VALUE) {
		errno = EBADF;
		return -1;
	}
	OVERLAPPED at = {};
	at.OffsetHigh = 0x7fffffff;
	if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
		return 0;
	errno = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EIO;
	return -1;
}
