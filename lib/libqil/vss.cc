/*
 * vss.cc -- parsing and resolving address texts, and connecting to the
 * first address that answers.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "odr.h"
#include "vss.h"
#include "vtcp.h"

static void
vss_seterr(int *errp, int value)
{
	if (errp != NULL)
		*errp = value;
}

int
VSS_port_check(const char *port)
{
	AN(port);
	if (*port == '\0')
		return -1;
	unsigned long v = 0;
	for (const char *p = port; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return 0; /* a service name, for the resolver to judge */
		v = v * 10 + (unsigned long)(*p - '0');
		if (v > 65535)
			return -1;
	}
	return v >= 1 ? 0 : -1;
}

bool
VSS_is_loopback(const struct sockaddr_storage *ss)
{
	AN(ss);
	if (ss->ss_family == AF_INET) {
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ss);
		return (ntohl(sin->sin_addr.s_addr) >> 24) == 127;
	}
	if (ss->ss_family != AF_INET6)
		return false;
	const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ss);
	const uint8_t *a = sin6->sin6_addr.s6_addr;
	if (IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr))
		return true;
	return IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr) && a[12] == 127;
}

const char *
VSS_addr_text(const void *sa, socklen_t len, char *buf, size_t size)
{
	char host[NI_MAXHOST], port[NI_MAXSERV];
	const auto *a = static_cast<const struct sockaddr *>(sa);

	AN(buf);
	QIL_ASSERT(size > 1);
	if (getnameinfo(a, len, host, sizeof host, port, sizeof port,
	    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
		(void)snprintf(buf, size, "?");
	else if (a->sa_family == AF_INET6)
		(void)snprintf(buf, size, "[%s]:%s", host, port);
	else
		(void)snprintf(buf, size, "%s:%s", host, port);
	return buf;
}

int
VSS_parse(const char *str, char **addr, char **port, int *err)
{
	const char *p;

	*addr = *port = NULL;
	if (str[0] == '[') {
		/* IPv6 address of the form [::1]:80 */
		p = strchr(str, ']');
		if (p == NULL || p == str + 1 || (p[1] != '\0' && p[1] != ':')) {
			vss_seterr(err, INVALID_FORMAT);
			return -1;
		}
		*addr = ODR_strndup(str + 1, (size_t)(p - (str + 1)));
		QIL_ASSERT_TEXT(*addr != NULL, "(*addr) != 0");
		if (p[1] == ':') {
			*port = ODR_strdup(p + 2);
			QIL_ASSERT_TEXT(*port != NULL, "(*port) != 0");
		}
		return 0;
	}
	/* IPv4 address or host name, with the port after a space or a colon */
	p = strchr(str, ' ');
	if (p == NULL)
		p = strchr(str, ':');
	if (p == NULL) {
		*addr = ODR_strdup(str);
		QIL_ASSERT_TEXT(*addr != NULL, "(*addr) != 0");
		return 0;
	}
	if (p > str) {
		*addr = ODR_strndup(str, (size_t)(p - str));
		QIL_ASSERT_TEXT(*addr != NULL, "(*addr) != 0");
	}
	*port = ODR_strdup(p + 1);
	QIL_ASSERT_TEXT(*port != NULL, "(*port) != 0");
	return 0;
}

int
VSS_resolve(const char *str, const char *port, struct vss_addr ***vap, int *err)
{
	struct addrinfo hints = {}, *res0 = NULL, *res;
	char *hop, *pop;
	int n, ret;

	*vap = NULL;
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_PASSIVE;

	if (VSS_parse(str, &hop, &pop, err) != 0)
		return 0;
	if (pop != NULL)
		ret = getaddrinfo(hop, pop, &hints, &res0);
	else
		ret = getaddrinfo(str, port, &hints, &res0);
	free(hop);
	free(pop);
	if (ret != 0) {
		vss_seterr(err, GETADDRINFO_ERROR);
		return 0;
	}
	for (res = res0, n = 0; res != NULL; res = res->ai_next)
		++n;
	if (n == 0) {
		vss_seterr(err, EMPTYADDRINFO);
		freeaddrinfo(res0);
		return 0;
	}
	struct vss_addr **va =
	    static_cast<struct vss_addr **>(calloc((size_t)n, sizeof *va));
	AN(va);
	*vap = va;
	for (res = res0, n = 0; res != NULL; res = res->ai_next, ++n) {
		va[n] = static_cast<struct vss_addr *>(calloc(1, sizeof **va));
		AN(va[n]);
		va[n]->va_family = res->ai_family;
		va[n]->va_socktype = res->ai_socktype;
		va[n]->va_protocol = res->ai_protocol;
		va[n]->va_addrlen = (int32_t)res->ai_addrlen;
		QIL_ASSERT_TEXT(va[n]->va_addrlen <= (int32_t)sizeof va[n]->va_addr,
		    "va[i]->va_addrlen <= sizeof va[i]->va_addr");
		memcpy(va[n]->va_addr, res->ai_addr, res->ai_addrlen);
	}
	freeaddrinfo(res0);
	return n;
}

/* Opens a socket and starts connecting it to `va`; with `nonblock` the
 * connection may still be in progress when the socket is returned. */
static int
vss_connect(const struct vss_addr *va, int nonblock, int *err, int *syserr)
{
	/* Never inherited by the programs we start. */
	int sd = socket(va->va_family, va->va_socktype | SOCK_CLOEXEC, va->va_protocol);
	if (sd < 0) {
		int e = ODR_sockError();
		if (e != EPROTONOSUPPORT)
			(void)fprintf(stderr, "socket(): %s\n", strerror(e));
		vss_seterr(err, SOCKET_ERROR);
		vss_seterr(syserr, e);
		return -1;
	}
	if (nonblock && VTCP_nonblocking(sd) != 0) {
		vss_seterr(err, IOCTL_ERROR);
		vss_seterr(syserr, ODR_sockError());
		(void)ODR_closesocket(sd);
		return -1;
	}
	int r = connect(sd, reinterpret_cast<const struct sockaddr *>(va->va_addr),
	    (socklen_t)va->va_addrlen);
	int e = r == 0 ? 0 : ODR_sockError();
	if (r == 0 || (nonblock && e == ODR_EINPROGRESS)) {
		(void)VTCP_blocking(sd);
		return sd;
	}
	vss_seterr(err, CONNECT_ERROR);
	vss_seterr(syserr, e);
	(void)ODR_closesocket(sd);
	return -1;
}

/*
 * Waits until the connection on `sd` is established. A refused connection
 * also makes the socket writable on Linux, so the pending error decides.
 */
static int
vss_wait_connected(int sd, int seconds, int *syserr)
{
	struct pollfd pfd = {};
	pfd.fd = sd; /* a SOCKET on Windows */
	pfd.events = POLLOUT;
	int r, soerr = 0;
	socklen_t len = sizeof soerr;

	do
		r = ODR_poll(&pfd, 1, seconds * 1000);
	while (r == -1 && ODR_sockError() == ODR_EINTR);
	if (r != 1)
		return -1;
	if (ODR_getsockopt(sd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0)
		soerr = ODR_sockError();
	if (soerr != 0) {
		vss_seterr(syserr, soerr);
		return -1;
	}
	return 0;
}

int
VSS_open(const char *str, double tmo, int *err, int *syserr)
{
	struct vss_addr **vaddr;
	int sd = -1;

	vss_seterr(err, NO_ERROR);
	vss_seterr(syserr, 0);
	int nvaddr = VSS_resolve(str, NULL, &vaddr, err);
	for (int n = 0; n < nvaddr; n++) {
		sd = vss_connect(vaddr[n], tmo != 0.0, err, syserr);
		if (sd >= 0 && tmo != 0.0 && vss_wait_connected(sd, (int)tmo, syserr) != 0) {
			(void)ODR_closesocket(sd);
			sd = -1;
			vss_seterr(err, SELECT_TIMEOUT);
			continue;
		}
		if (sd >= 0)
			break;
	}
	for (int n = 0; n < nvaddr; n++)
		free(vaddr[n]);
	free(vaddr);
	if (sd > 0 && tmo > 0 && (int)tmo > 0)
		VTCP_setTimeout(sd, (int)tmo);
	return sd;
}
