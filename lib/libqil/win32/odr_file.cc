/*
 * win32/odr_file.cc -- the files of the working directory on Windows: a
 * reparse point (a link or junction) is refused before it is opened, and a
 * new file replaces the old with MoveFileEx. And the lock of a file: its
 * locks are mandatory (a locked byte can be read by nobody else), so the
 * one byte locked lies far beyond any end the file will reach, and a
 * reader of the file sees all of it while a second lock on it is refused.
 */
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "odr.h"
#include "odr_file.h"

/* True when `name` is a link or junction (EINVAL set). */
static bool
odr_file_reparse(const char *name)
{
	DWORD a = GetFileAttributesA(name);
	if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
		errno = EINVAL;
		return true;
	}
	return false;
}

/* `fd` when it is a regular file; else closed, -1. */
static int
odr_file_regular(int fd)
{
	struct _stat64 st;

	if (fd < 0)
		return -1;
	if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
		(void)_close(fd);
		errno = EINVAL;
		return -1;
	}
	return fd;
}

int
ODR_file_open_read(const char *name)
{
	if (odr_file_reparse(name))
		return -1;
	return odr_file_regular(_open(name, _O_RDONLY | _O_BINARY | _O_NOINHERIT));
}

int
ODR_file_open_write(const char *name, int mode)
{
	if (odr_file_reparse(name))
		return -1;
	int fd = odr_file_regular(_open(name, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT,
	    mode & 0600 ? _S_IREAD | _S_IWRITE : _S_IREAD));
	if (fd >= 0 && _chsize_s(fd, 0) != 0) {
		(void)_close(fd);
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
		unsigned chunk = cap - got > 0x40000000u ? 0x40000000u : (unsigned)(cap - got);
		int n = _read(fd, static_cast<char *>(buf) + got, chunk);
		if (n < 0) {
			(void)_close(fd);
			return -1;
		}
		if (n == 0)
			break;
		got += (size_t)n;
	}
	(void)_close(fd);
	return (ssize_t)got;
}

int
ODR_file_replace(const char *name, const void *data, size_t len, int mode)
{
	const std::string tmp = std::string(name) + ".new";
	(void)mode; /* the directory's permissions apply on Windows */
	if (odr_file_reparse(tmp.c_str()) && !DeleteFileA(tmp.c_str()))
		return -1;
	(void)DeleteFileA(tmp.c_str());
	int fd = _open(tmp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
	    _S_IREAD | _S_IWRITE);
	if (fd < 0)
		return -1;
	bool ok = true;
	const char *p = static_cast<const char *>(data);
	for (size_t left = len; ok && left > 0;) {
		unsigned chunk = left > 0x40000000u ? 0x40000000u : (unsigned)left;
		int n = _write(fd, p, chunk);
		ok = n > 0;
		p += n > 0 ? n : 0;
		left -= n > 0 ? (size_t)n : 0;
	}
	ok = _commit(fd) == 0 && ok;
	ok = _close(fd) == 0 && ok;
	if (ok && MoveFileExA(tmp.c_str(), name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
		return 0;
	(void)DeleteFileA(tmp.c_str());
	errno = EIO;
	return -1;
}

int
ODR_file_stdout(const char *name, int mode)
{
	/* A desktop program has no descriptor 1 to take the file over: the
	 * stream itself is reopened, on the file just found to be a regular
	 * one and no link. */
	int fd = ODR_file_open_write(name, mode);
	if (fd < 0)
		return -1;
	(void)_close(fd);
	if (freopen(name, "w", stdout) == NULL)
		return -1;
	return 0;
}

const char *
ODR_file_strerror(int err)
{
	if (err == EINVAL)
		return "a link or not a regular file";
	return strerror(err);
}

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
