/*
 * win32/odr.cc -- the Windows OS layer: Winsock start-up, the OS generation
 * code, receives with logging, rand_s() and the socket errors.
 *
 * Any thread may call these; only ODR_libinit() is limited to the first
 * thread at start-up.
 */
#define _CRT_RAND_S /* declares rand_s() in stdlib.h */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "odr.h"
#include "vtc_log.h"

int ODR_osversion;

int
ODR_libinit(void)
{
	WSADATA wsa;

	int ret = WSAStartup(MAKEWORD(2, 2), &wsa);
	QIL_ASSERT(ret == 0);
	/* Threads are plain kernel threads: no layer to set up. */
	ODR_osversion = ODR_GetOSVersion();
	return 0;
}

/* The generation code of an NT version (major.minor, workstation or not). */
static int
odr_generation(DWORD major, DWORD minor, bool workstation)
{
	static const struct {
		DWORD major, minor;
		int any, workstation, server;
	} table[] = {
		{5, 0, 1, 0, 0}, {5, 1, 2, 0, 0}, {5, 2, 3, 0, 0},
		{6, 0, 0, 11, 10}, {6, 1, 0, 9, 8}, {6, 2, 0, 12, 14},
		{6, 3, 0, 13, 15}, {10, 0, 0, 16, 0},
	};
	for (const auto &t : table) {
		if (t.major != major || t.minor != minor)
			continue;
		if (t.any != 0)
			return t.any;
		return workstation ? t.workstation : t.server;
	}
	return 0;
}

int
ODR_GetOSVersion(void)
{
	OSVERSIONINFOEXA vi = {};

	vi.dwOSVersionInfoSize = sizeof vi;
	BOOL bOsVersionInfoEx = GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&vi));
	QIL_ASSERT(bOsVersionInfoEx != 0);
	if (vi.dwPlatformId != VER_PLATFORM_WIN32_NT || vi.dwMajorVersion <= 4)
		return 0;
	return odr_generation(vi.dwMajorVersion, vi.dwMinorVersion,
	    vi.wProductType == VER_NT_WORKSTATION);
}

ssize_t
ODR_recv(struct vtclog *vl, int sock, void *buf, size_t len, int flags)
{
	int removed = 0;

	/* Windows XP's Winsock refuses the wait-for-all flag. */
	if ((flags & ODR_MSG_WAITALL) && ODR_osversion == 2) {
		flags &= ~ODR_MSG_WAITALL;
		removed = 1;
	}
	int r = recv((SOCKET)sock, static_cast<char *>(buf), (int)len, flags);
	if (r == -1) {
		int e = WSAGetLastError();
		vtc_log(vl, VTCLOG_WARN, "QILEC_00440: recv(2) error: read %d error %ld", r,
		    (long)e);
		WSASetLastError(e);
	} else if (removed && (size_t)r < len) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00441: recv(2) error: read %d (expected %d)", r,
		    (int)len);
	}
	return r;
}

ssize_t
ODR_recvfrom(int sock, void *buf, size_t len, int flags, struct sockaddr *from,
             socklen_t *fromlen)
{
	/* Winsock already fails a datagram longer than the buffer, with
	 * WSAEMSGSIZE, and drops its rest. */
	return recvfrom((SOCKET)sock, static_cast<char *>(buf), (int)len, flags, from,
	    fromlen);
}

uint32_t
ODR_random(struct vtclog *vl)
{
	unsigned int v;

	errno_t e = rand_s(&v);
	if (e != 0) {
		vtc_log(vl, VTCLOG_ERROR, "rand_s() failed %d", (int)e);
		return 0;
	}
	return v;
}

int
ODR_randomCheck(struct vtclog *vl)
{
	unsigned int v;

	errno_t e = rand_s(&v);
	if (e != 0) {
		vtc_log(vl, VTCLOG_ERROR, "rand_s() failed %d", (int)e);
		return -1;
	}
	return 0;
}

int
ODR_sockError(void)
{
	return WSAGetLastError();
}

const char *
ODR_sockErrorText(void)
{
	static char text[512];
	int e = WSAGetLastError();

	switch (e) {
	case WSAHOST_NOT_FOUND:
		return "Host not found";
	case WSANO_DATA:
		return "No data record found";
	default:
		snprintf(text, sizeof text, "Unknown %d", e);
		return text;
	}
}

void
ODR_setSockError(int err)
{
	WSASetLastError(err);
}

int
ODR_sockErrorIsReset(int err)
{
	/* A datagram socket whose earlier send drew an ICMP port unreachable
	 * fails its next receive with WSAECONNRESET (10054). */
	return err == WSAECONNRESET || err == WSAECONNREFUSED;
}

char *
ODR_strdup(const char *s)
{
	return _strdup(s);
}

char *
ODR_strndup(const char *s, size_t n)
{
	size_t len = strnlen(s, n);
	char *p = static_cast<char *>(malloc(len + 1));

	if (p == NULL)
		return NULL;
	memcpy(p, s, len);
	p[len] = '\0';
	return p;
}

int
ODR_strncasecmp(const char *a, const char *b, size_t n)
{
	return _strnicmp(a, b, n);
}
