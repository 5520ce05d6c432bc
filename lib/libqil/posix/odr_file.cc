/*
 * posix/odr_file.cc -- the files of the working directory on Linux:
 * O_NOFOLLOW, O_NONBLOCK for the open itself (a FIFO opens at once and is
 * then refused), O_EXCL for a new file; and the lock of a file, flock(2),
 * which belongs to the open file and goes with its last descriptor,
 * however the process ends. Safe on any thread.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "odr.h"
#include "odr_file.h"

/* `fd` when it is a regular file, in blocking mode; else closed, -1. */
static int
odr_file_regular(int fd)
{
	struct stat st;

	if (fd < 0)
		return -1;
	int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
	if (e != 0) {
		(void)close(fd);
		errno = e;
		return -1;
	}
	int fl = fcntl(fd, F_GETFL);
	if (fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1) {
		e = errno;
		(void)close(fd);
		errno = e;
		return -1;
	}
	return fd;
}

int
ODR_file_open_read(const char *name)
{
	return odr_file_regular(open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

int
ODR_file_open_write(const char *name, int mode)
{
	/* O_TRUNC only once the file is known to be a regular one: a FIFO or
	 * a device is left as it was. */
	int fd = odr_file_regular(open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK |
	    O_CLOEXEC, (mode_t)mode));
	if (fd >= 0 && ftruncate(fd, 0) != 0) {
		int e = errno;
		(void)close(fd);
		errno = e;
		return -1;
	}
	return fd;
}

ssize_t
ODR_file_read(const char *name, void *buf, size_t cap)
{
	int fd = ODR_file_open_read(name);
	if (fd < 0)
		return -1;
	size_t got = 0;
	while (got < cap) {
		ssize_t n = read(fd, static_cast<char *>(buf) + got, cap - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			int e = errno;
			(void)close(fd);
			errno = e;
			return -1;
		}
		if (n == 0)
			break;
		got += (size_t)n;
	}
	(void)close(fd);
	return (ssize_t)got;
}

/* Writes all of `data`; false on failure. */
static bool
odr_file_write_all(int fd, const void *data, size_t len)
{
	const char *p = static_cast<const char *>(data);
	while (len > 0) {
		ssize_t n = write(fd, p, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		p += n;
		len -= (size_t)n;
	}
	return true;
}

int
ODR_file_replace(const char *name, const void *data, size_t len, int mode)
{
	const std::string tmp = std::string(name) + ".new";
	int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
	int fd = open(tmp.c_str(), flags, (mode_t)mode);
	/* A leftover of a crash, or something planted: unlink(2) removes a
	 * link itself, never what it points to. */
	if (fd < 0 && errno == EEXIST && unlink(tmp.c_str()) == 0)
		fd = open(tmp.c_str(), flags, (mode_t)mode);
	if (fd < 0)
		return -1;
	/* The umask must not widen or narrow what the caller asked for. */
	bool ok = fchmod(fd, (mode_t)mode) == 0 && odr_file_write_all(fd, data, len) &&
	    fsync(fd) == 0;
	int e = errno;
	if (close(fd) != 0 && ok) {
		ok = false;
		e = errno;
	}
	/* rename(2) replaces a link at `name` itself, whatever it points to. */
	if (ok && rename(tmp.c_str(), name) == 0)
		return 0;
	if (ok)
		e = errno;
	(void)unlink(tmp.c_str());
	errno = e;
	return -1;
}

int
ODR_file_stdout(const char *name, int mode)
{
	int fd = ODR_file_open_write(name, mode);
	if (fd < 0)
		return -1;
	/* Started with no standard output, the new file may be descriptor 1
	 * already. */
	if (fd != STDOUT_FILENO && dup2(fd, STDOUT_FILENO) == -1) {
		int e = errno;
		(void)close(fd);
		errno = e;
		return -1;
	}
	if (fd != STDOUT_FILENO)
		(void)close(fd);
	clearerr(stdout);
	return 0;
}

const char *
ODR_file_strerror(int err)
{
	if (err == ELOOP)
		return "a symbolic link";
	if (err == EINVAL)
		return "not a regular file";
	return strerror(err);
}

int
ODR_lockfile(int fd)
{
	/* EWOULDBLOCK in errno when another process holds it. */
	return flock(fd, LOCK_EX | LOCK_NB);
}
