/*
 * vss.h -- address texts ("host:port", "host port", "[v6]:port") turned
 * into socket addresses, and TCP connections with a time-out.
 *
 * Nothing here logs: failures come back as a connection error code and a
 * system error number for the caller to report. Safe on any thread.
 */
#ifndef QIL_VSS_H
#define QIL_VSS_H

#include <stdint.h>

/* The system's socket headers first: Windows has its own NO_ERROR and
 * SOCKET_ERROR, which the codes below replace. */
#include "odr.h"

struct vss_addr {
	int32_t va_family;
	int32_t va_socktype;
	int32_t va_protocol;
	int32_t va_addrlen;
	unsigned char va_addr[128];
};

/* Connection error codes. */
#undef NO_ERROR
#undef SOCKET_ERROR
#define NO_ERROR          0
#define INVALID_FORMAT    1
#define SELECT_TIMEOUT    2
#define SOCKET_ERROR      3
#define CONNECT_ERROR     4
#define GETADDRINFO_ERROR 5
#define EMPTYADDRINFO     6
#define IOCTL_ERROR       7

/* 0 when `port` is a service name or a decimal number from 1 to 65535; -1
 * for an empty text or a number outside that range (which the resolver
 * would silently wrap). */
int VSS_port_check(const char *port);
/* True for an address of this machine's loopback: 127.0.0.0/8, ::1, or an
 * IPv4 one of them mapped into IPv6 (::ffff:127.x.y.z). */
bool VSS_is_loopback(const struct sockaddr_storage *ss);
/* The socket address `sa` of `len` bytes as text in `buf` (`size` bytes):
 * "192.0.2.1:53", "[2001:db8::1]:53", an IPv6 address with its scope
 * ("[fe80::1%eth0]:53"); "?" for anything else. Returns `buf`. */
const char *VSS_addr_text(const void *sa, socklen_t len, char *buf, size_t size);
/* Splits `str`; `*addr` and `*port` are new heap strings or NULL. */
int VSS_parse(const char *str, char **addr, char **port, int *err);
/* Resolves `str` (default port `port`); returns the count, 0 on failure. */
int VSS_resolve(const char *str, const char *port, struct vss_addr ***vap,
                int *err);
/* Connects to the first address that answers within `tmo` seconds (0: no
 * limit); returns a blocking TCP socket or -1. */
int VSS_open(const char *str, double tmo, int *err, int *syserr);

#endif
