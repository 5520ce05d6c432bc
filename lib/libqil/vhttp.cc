/*
 * vhttp.cc -- the HTTP client: connect (directly or through a CONNECT
 * tunnel), send one GET, read the header byte by byte so that nothing past
 * it is consumed early, then the body by Content-Length, chunks, or to the
 * end of the stream.
 *
 * Anything the peer sends is validated here: a response that breaks the
 * rules fails the exchange with a message and never reaches an assertion.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "odr.h"
#include "odr_recv.h"
#include "vhttp.h"
#include "vsb.h"
#include "vss.h"
#include "vtc_log.h"
#include "vtcp.h"
#include "vtim.h"

#define VHTTP_RXBUF_SIZE 0x200000
#define VHTTP_PROXY_REPLY 1024
#define VHTTP_PROXY_TMO 5.0

static bool
vct_issp(int c)
{
	return c == ' ' || c == '\t';
}

static bool
vct_iscrlf(int c)
{
	return c == '\r' || c == '\n';
}

static bool
vct_islws(int c)
{
	return vct_issp(c) || vct_iscrlf(c);
}

/* Marks the exchange as failed; the caller gives up on it. */
static int
vhttp_fail(struct vhttp *hp, const char *why)
{
	vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00882: HTTP response refused: %s", why);
	hp->failed = 1;
	return -1;
}

/* Seconds left before `deadline` (a large number when there is none). */
static double
vhttp_left(double deadline)
{
	return deadline == 0 ? 1e9 : deadline - VTIM_mono();
}

/* A connect time-out of `tmo` seconds, shortened to the deadline; whole
 * seconds, at least one. */
static double
vhttp_connect_tmo(double deadline, double tmo)
{
	double left = vhttp_left(deadline);
	return left >= tmo ? tmo : left >= 1.0 ? (double)(int)left : 1.0;
}

static void
vhttp_overdue(struct vtclog *vl, int fd)
{
	vtc_log(vl, VTCLOG_ERROR, "QILEC_00792: HTTP exchange not done in time (fd:%d)", fd);
}

/* Room for `n` more bytes and the terminator. */
static bool
vhttp_room(const struct vhttp *hp, int n)
{
	return n >= 0 && (int64_t)hp->prxbuf + n < hp->nrxbuf;
}

struct vhttp *
vhttp_allocCommon(struct vtclog *vl)
{
	struct vhttp *hp = static_cast<struct vhttp *>(calloc(1, sizeof *hp));
	if (hp == NULL)
		return NULL;
	hp->magic = VHTTP_MAGIC;
	hp->fd = -1;
	hp->tmo = 3;
	hp->vl = vl;
	hp->nrxbuf = VHTTP_RXBUF_SIZE;
	hp->vsb = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
	hp->rxbuf = static_cast<char *>(malloc((size_t)hp->nrxbuf));
	if (hp->vsb == NULL || hp->rxbuf == NULL) {
		if (hp->vsb != NULL)
			vsb_delete(hp->vsb);
		free(hp->rxbuf);
		hp->magic = 0;
		free(hp);
		return NULL;
	}
	hp->rxbuf[0] = '\0';
	return hp;
}

struct vhttp *
vhttp_newSocket(struct vtclog *vl, int fd, int tmo)
{
	struct vhttp *hp = vhttp_allocCommon(vl);
	if (hp == NULL)
		return NULL;
	hp->kind = VHTTP_KIND_SOCKET;
	hp->fd = fd;
	hp->tmo = tmo;
	return hp;
}

struct vhttp *
vhttp_newBuffer(struct vtclog *vl, const void *buf, size_t len)
{
	struct vhttp *hp = vhttp_allocCommon(vl);
	if (hp == NULL)
		return NULL;
	hp->kind = VHTTP_KIND_BUFFER;
	hp->src = static_cast<const uint8_t *>(buf);
	hp->srclen = (uint32_t)len;
	return hp;
}

void
vhttp_free(struct vhttp *hp)
{
	CHECK_OBJ_NOTNULL(hp, VHTTP_MAGIC);
	free(hp->rxbuf);
	vsb_delete(hp->vsb);
	hp->magic = 0;
	free(hp);
}

int
vhttp_rxcharForSocket(struct vhttp *hp, int n, int eof_ok)
{
	while (n > 0) {
		struct pollfd pfd = {};
		pfd.fd = hp->fd; /* a SOCKET on Windows */
		pfd.events = POLLIN;
		int r;
		/* Each wait is bounded by the time-out, all of them by the
		 * deadline: a trickle of bytes must not go on for ever. */
		double left = vhttp_left(hp->deadline);
		bool overdue = left < hp->tmo;
		int ms = !overdue ? hp->tmo * 1000 : left > 0 ? (int)(left * 1000) + 1 : 0;
		do
			r = ODR_poll(&pfd, 1, ms);
		while (r == -1 && ODR_sockError() == ODR_EINTR);
		if (r == 0 && overdue) {
			vhttp_overdue(hp->vl, hp->fd);
			hp->failed = 1;
			return -1;
		}
		if (r == 0) {
			vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00560: HTTP rx timeout (fd:%d %u ms)",
			    hp->fd, (unsigned)hp->tmo * 1000);
			return 0;
		}
		if (r < 0) {
			int e = ODR_sockError();
			vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00561: HTTP rx failed (fd:%d poll: %d %s)",
			    hp->fd, e, ODR_sockErrorText());
			return r;
		}
		if (!vhttp_room(hp, n))
			return vhttp_fail(hp, "larger than the receive buffer");
		ssize_t i = ODR_recv(hp->vl, hp->fd, hp->rxbuf + hp->prxbuf, (size_t)n, 0);
		if (i == 0) {
			if (!eof_ok)
				vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00562: HTTP rx EOF (i:%d fd:%d)",
				    (int)i, hp->fd);
			return 0;
		}
		if (i < 0) {
			vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00563: HTTP rx failed %d (fd:%d)",
			    (int)i, hp->fd);
			return (int)i;
		}
		hp->prxbuf += (int32_t)i;
		hp->rxbuf[hp->prxbuf] = '\0';
		n -= (int)i;
	}
	return 1;
}

int
vhttp_rxcharForBuffer(struct vhttp *hp, int n)
{
	uint32_t left = hp->srclen - hp->srcpos;
	if (left == 0)
		return 0;
	int take = (uint32_t)n < left ? n : (int)left;
	if (!vhttp_room(hp, take))
		return vhttp_fail(hp, "larger than the receive buffer");
	memcpy(hp->rxbuf + hp->prxbuf, hp->src + hp->srcpos, (size_t)take);
	hp->srcpos += (uint32_t)take;
	hp->prxbuf += take;
	hp->rxbuf[hp->prxbuf] = '\0';
	return 1;
}

int
vhttp_rxchar(struct vhttp *hp, int n, int eof_ok)
{
	if (hp->kind == VHTTP_KIND_BUFFER)
		return vhttp_rxcharForBuffer(hp, n);
	return vhttp_rxcharForSocket(hp, n, eof_ok);
}

/* True when the received bytes end with two line ends in a row. */
static bool
vhttp_header_complete(const struct vhttp *hp)
{
	int j = hp->prxbuf - 1;
	int nl = 0;

	while (j > 0 && hp->rxbuf[j] == '\n') {
		nl++;
		j--;
		if (j > 0 && hp->rxbuf[j] == '\r')
			j--;
	}
	return nl >= 2;
}

int
vhttp_rxhdr(struct vhttp *hp)
{
	CHECK_OBJ_NOTNULL(hp, VHTTP_MAGIC);
	hp->prxbuf = 0;
	hp->body = NULL;
	do {
		if (vhttp_rxchar(hp, 1, 0) <= 0)
			return -1;
	} while (!vhttp_header_complete(hp));
	vtc_dump(hp->vl, VTCLOG_DEBUG2, "rxhdr", hp->rxbuf, -1);
	return 0;
}

/* Writes a NUL over the line end at `p` and steps over it. */
static char *
vhttp_end_line(char *p)
{
	bool crlf = p[0] == '\r' && p[1] == '\n';
	*p = '\0';
	return p + (crlf ? 2 : 1);
}

int
vhttp_splitheader(struct vhttp *hp, int request)
{
	CHECK_OBJ_NOTNULL(hp, VHTTP_MAGIC);
	char **hh = request ? hp->req_hdr : hp->resp_hdr;
	memset(hh, 0, sizeof hp->resp_hdr);
	char *p = hp->rxbuf;
	int n;

	/* First line: protocol, status code, reason phrase. */
	while (vct_islws(*p))
		p++;
	hh[0] = p;
	while (*p != '\0' && !vct_islws(*p))
		p++;
	if (p == hh[0] || *p == '\0' || vct_iscrlf(*p))
		return vhttp_fail(hp, "status line without a code");
	*p++ = '\0';
	while (vct_issp(*p))
		p++;
	if (*p == '\0' || vct_iscrlf(*p))
		return vhttp_fail(hp, "status line without a code");
	hh[1] = p;
	while (*p != '\0' && !vct_islws(*p))
		p++;
	if (*p == '\0')
		return vhttp_fail(hp, "unterminated status line");
	if (!vct_iscrlf(*p)) {
		*p++ = '\0';
		while (vct_issp(*p))
			p++;
		hh[2] = p;
		while (*p != '\0' && !vct_iscrlf(*p))
			p++;
		if (*p == '\0')
			return vhttp_fail(hp, "unterminated status line");
	}
	p = vhttp_end_line(p);

	/* Header lines, one slot each; the last slot stays empty. */
	for (n = 3; *p != '\0' && !vct_iscrlf(*p); n++) {
		if (n >= VHTTP_MAX_HDR - 1)
			return vhttp_fail(hp, "too many header lines");
		hh[n] = p;
		while (*p != '\0' && !vct_iscrlf(*p))
			p++;
		if (*p == '\0')
			return vhttp_fail(hp, "unterminated header line");
		p = vhttp_end_line(p);
	}
	if (*p == '\0' || (p = vhttp_end_line(p)) != hp->rxbuf + hp->prxbuf)
		return vhttp_fail(hp, "bytes after the end of the header");

	for (int i = 0; i < VHTTP_MAX_HDR; i++) {
		char pfx[16];
		if (i > 2 && hh[i] == NULL)
			break;
		(void)snprintf(pfx, sizeof pfx, "http[%2d] ", i);
		vtc_dump(hp->vl, VTCLOG_DEBUG2, pfx, hh[i], -1);
	}
	return 0;
}

char *
vhttp_getheader(char *const *hh, const char *name)
{
	size_t l = strlen(name);

	for (int i = 3; i < VHTTP_MAX_HDR && hh[i] != NULL; i++) {
		if (ODR_strncasecmp(hh[i], name, l) != 0 || hh[i][l] != ':')
			continue;
		char *r = hh[i] + l + 1;
		while (vct_issp(*r))
			r++;
		return r;
	}
	return NULL;
}

int
vhttp_rxchunk(struct vhttp *hp)
{
	int32_t l = hp->prxbuf;
	int i;

	do {
		i = vhttp_rxchar(hp, 1, 0);
		if (i <= 0)
			return i;
	} while (hp->rxbuf[hp->prxbuf - 1] != '\n');
	vtc_dump(hp->vl, VTCLOG_DEBUG2, "len", hp->rxbuf + l, -1);

	/* Hexadecimal digits, then only blanks up to the line end. */
	const char *line = hp->rxbuf + l;
	const char *q = line;
	uint64_t size = 0;
	for (; *q != '\0' && strchr("0123456789abcdefABCDEF", *q) != NULL; q++) {
		if (size <= (uint64_t)hp->nrxbuf)
			size = size * 16 + (uint64_t)(*q <= '9' ? *q - '0' : (*q | 0x20) - 'a' + 10);
	}
	const char *end = q;
	while (vct_issp(*end))
		end++;
	if (q == line || (*end != '\0' && !vct_iscrlf(*end))) {
		const char *bad = q == line ? q : (!vct_islws(*q) && *q != '\0' ? q : end);
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00564: chunked fail %02x @ %d",
		    (unsigned char)*bad, (int)(bad - line));
		return vhttp_fail(hp, "malformed chunk-size line");
	}
	/* Refused by what it announces, whatever the input holds. */
	if (size > (uint64_t)hp->nrxbuf || (int64_t)l + (int64_t)size >= hp->nrxbuf)
		return vhttp_fail(hp, "larger than the receive buffer");
	(void)snprintf(hp->chunklen_text, sizeof hp->chunklen_text, "%d", (int)size);

	hp->prxbuf = l;
	hp->rxbuf[l] = '\0';
	if (size > 0) {
		i = vhttp_rxchar(hp, (int)size, 0);
		if (i <= 0)
			return i;
		vtc_dump(hp->vl, VTCLOG_DEBUG2, "chunk", hp->rxbuf + l, (int)size);
	}

	l = hp->prxbuf;
	i = vhttp_rxchar(hp, 2, 0);
	if (i <= 0)
		return i;
	if (!vct_iscrlf(hp->rxbuf[l]))
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00565: Wrong chunk tail[0] = %02x",
		    (unsigned char)hp->rxbuf[l]);
	if (!vct_iscrlf(hp->rxbuf[l + 1]))
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00566: Wrong chunk tail[1] = %02x",
		    (unsigned char)hp->rxbuf[l + 1]);
	hp->prxbuf = l;
	hp->rxbuf[l] = '\0';
	return (int)size;
}

void
vhttp_rxbody(struct vhttp *hp, char *const *hh, int is200)
{
	const char *p;

	if ((p = vhttp_getheader(hh, "content-length")) != NULL) {
		/* Leading decimal digits; anything after them is ignored. */
		uint64_t n = 0;
		for (; *p >= '0' && *p <= '9'; p++)
			if (n <= (uint64_t)hp->nrxbuf)
				n = n * 10 + (uint64_t)(*p - '0');
		/* Refused by what it announces, whatever the input holds. */
		if (n > (uint64_t)hp->nrxbuf || !vhttp_room(hp, (int)n))
			(void)vhttp_fail(hp, "larger than the receive buffer");
		else
			(void)vhttp_rxchar(hp, (int)n, 0);
		hp->bodylen = (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body);
		vtc_dump(hp->vl, VTCLOG_DEBUG2, "body", hp->body, (int)hp->bodylen);
	} else if ((p = vhttp_getheader(hh, "transfer-encoding")) != NULL &&
	    strcmp(p, "chunked") == 0) {
		while (vhttp_rxchunk(hp) > 0)
			continue;
		hp->bodylen = (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body);
	} else if (is200) {
		while (vhttp_rxchar(hp, 1, 1) > 0)
			continue;
		hp->bodylen = (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body);
		vtc_dump(hp->vl, VTCLOG_DEBUG2, "rxeof", hp->body, (int)hp->bodylen);
	} else {
		hp->bodylen = 0;
	}
	(void)snprintf(hp->bodylen_text, sizeof hp->bodylen_text, "%d", (int)hp->bodylen);
}

int
vhttp_rxresp(struct vhttp *hp)
{
	if (vhttp_rxhdr(hp) != 0) {
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00567: vhttp_rxhdr error.");
		return -1;
	}
	if (vhttp_splitheader(hp, 0) != 0)
		return -1;
	hp->body = hp->rxbuf + hp->prxbuf;
	vhttp_rxbody(hp, hp->resp_hdr, strcmp(hp->resp_hdr[1], "200") == 0);
	return hp->failed ? -1 : 0;
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
