/*
 * win32/odr.cc -- the Windows OS layer: Winsock start-up, the OS generation
 * code, the datagram receive, the socket errors and the string helpers.
 *
 * Any thread may call these; only ODR_libinit() is limited to the first
 * thread at start-up.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "odr.h"

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
ODR_recvfrom(int sock, void *buf, size_t len, int flags, struct sockaddr *from,
             socklen_t *fromlen)
{
	/* Winsock already fails a datagram longer than the buffer, with
	 * WSAEMSGSIZE, and drops its rest. */
	return recvfrom((SOCKET)sock, static_cast<char *>(buf), (int)len, flags, from,
	    fromlen);
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
