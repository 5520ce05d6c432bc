/*
 * vhttp.cc -- the HTTP client's exchange: connect (directly or through a
 * CONNECT tunnel), send one GET, and hand the response to the parser
 * (vhttp_resp.cc), all within one deadline.
 *
 * What the proxy sends is validated here: a reply without its end or
 * without code 200 fails the exchange and never reaches an assertion.
 */
#include <stdio.h>
#include <string.h>

#include "odr.h"
#include "odr_recv.h"
#include "vhttp.h"
#include "vhttp_priv.h"
#include "vsb.h"
#include "vss.h"
#include "vtc_log.h"
#include "vtcp.h"
#include "vtim.h"

#define VHTTP_PROXY_REPLY 1024
#define VHTTP_PROXY_TMO 5.0

/* A connect time-out of `tmo` seconds, shortened to the deadline; whole
 * seconds, at least one. */
static double
vhttp_connect_tmo(double deadline, double tmo)
{
	double left = vhttp_left(deadline);
	return left >= tmo ? tmo : left >= 1.0 ? (double)(int)left : 1.0;
}

/* Only a status line of HTTP/1.0 or HTTP/1.1 with code 200 opens a tunnel. */
static bool
vhttp_proxy_ok(const char *reply)
{
	if (strncmp(reply, "HTTP/1.0 200", 12) != 0 && strncmp(reply, "HTTP/1.1 200", 12) != 0)
		return false;
	return vct_islws(reply[12]);
}

/* Shortens the socket's receive time-out to what is left before the
 * deadline, when that is less; -1 when nothing is left. */
static int
vhttp_rcvtimeo(int fd, double deadline, double tmo)
{
	double left = vhttp_left(deadline);
	if (left <= 0)
		return -1;
	if (left < tmo) {
		(void)ODR_setsocktimeout(fd, SO_RCVTIMEO, left + 1e-6);
	}
	return 0;
}

/* vhttp_proxy(), with the proxy's reply due by `deadline`. */
static int
vhttp_tunnel(struct vtclog *vl, const char *proxy, const char *server, double deadline)
{
	char buf[VHTTP_PROXY_REPLY];
	int e1, e2;

	int fd = VSS_open(proxy, vhttp_connect_tmo(deadline, VHTTP_PROXY_TMO), &e1, &e2);
	if (fd < 0) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00455: VSS_open(%s) failed: %d %d", proxy, e1, e2);
		return -1;
	}
	int len = snprintf(buf, sizeof buf, "CONNECT %s HTTP/1.1\r\n\r\n", server);
	if (len < 0 || len >= (int)sizeof buf ||
	    ODR_send(fd, buf, (size_t)len, ODR_MSG_NOSIGNAL) != len) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00456: sendto() failed.");
		(void)ODR_closesocket(fd);
		return -1;
	}

	size_t n = 0;
	buf[0] = '\0';
	while (strstr(buf, "\r\n\r\n") == NULL) {
		if (n == sizeof buf - 1) {
			vtc_log(vl, VTCLOG_WARN,
			    "QILEC_00883: The proxy's reply exceeds %zu bytes without its end.", n);
			(void)ODR_closesocket(fd);
			return -1;
		}
		if (vhttp_rcvtimeo(fd, deadline, VHTTP_PROXY_TMO) != 0) {
			vhttp_overdue(vl, fd);
			(void)ODR_closesocket(fd);
			return -1;
		}
		ssize_t i = ODR_recv(vl, fd, buf + n, 1, ODR_MSG_WAITALL);
		if (i <= 0) {
			vtc_log(vl, VTCLOG_WARN, "QILEC_00457: ODR_recv() failed. %d", (int)i);
			(void)ODR_closesocket(fd);
			return -1;
		}
		n += (size_t)i;
		buf[n] = '\0';
	}
	if (!vhttp_proxy_ok(buf)) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00458: No HTTP 200 in the response. %s", buf);
		(void)ODR_closesocket(fd);
		return -1;
	}
	return fd;
}

int
vhttp_proxy(struct vtclog *vl, const char *proxy, const char *server)
{
	return vhttp_tunnel(vl, proxy, server, 0);
}

int
VHTTP_get(struct vtclog *vl, const char *server, const char *hdr, const char *url,
          char *buf, size_t *len, const char *proxy)
{
	return VHTTP_getWithin(vl, server, hdr, url, buf, len, proxy, VHTTP_DEADLINE);
}

int
VHTTP_getWithin(struct vtclog *vl, const char *server, const char *hdr, const char *url,
                char *buf, size_t *len, const char *proxy, double limit)
{
	int fd, e1, e2;
	double deadline = VTIM_mono() + limit;

	if (proxy != NULL) {
		fd = vhttp_tunnel(vl, proxy, server, deadline);
		if (fd < 0) {
			vtc_log(vl, VTCLOG_WARN, "vhttp_proxy() failed.");
			return -1;
		}
	} else {
		fd = VSS_open(server, vhttp_connect_tmo(deadline, 10.0), &e1, &e2);
		if (fd < 0) {
			vtc_log(vl, VTCLOG_WARN, "Failed to communicate with server for GET: %d %d",
			    e1, e2);
			return -1;
		}
	}
	(void)VTCP_blocking(fd);
	VTCP_setTimeout(fd, 30);

	struct vsb *req = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
	AN(req);
	(void)vsb_printf(req, "GET %s HTTP/1.1\r\nConnection: close\r\n%s\r\n", url, hdr);
	vsb_finish(req);
	vtc_dump(vl, VTCLOG_DEBUG, "", vsb_data(req), -1);

	int result = -1;
	struct vhttp *hp = NULL;
	ssize_t sent = ODR_send(fd, vsb_data(req), (size_t)vsb_len(req), ODR_MSG_NOSIGNAL);
	if (sent != vsb_len(req)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00568: VHTTP_get send(2) failed: %ld %d",
		    (long)sent, ODR_sockError());
	} else if ((hp = vhttp_newSocket(vl, fd, 30)) == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00589: OOM.");
	} else if ((hp->deadline = deadline, vhttp_rxresp(hp)) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00569: VHTTP_rxbody error");
	} else if (hp->bodylen > *len) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00570: Not enough buffer space");
	} else {
		*len = hp->bodylen;
		memcpy(buf, hp->body, hp->bodylen);
		result = 0;
	}
	if (hp != NULL)
		vhttp_free(hp);
	vsb_delete(req);
	(void)ODR_closesocket(fd);
	return result;
}
