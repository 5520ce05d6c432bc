/*
 * vhttp_rx.cc -- the handle of one HTTP response and the bytes it reads:
 * from a socket, each wait bounded by the time-out and all of them by the
 * exchange's deadline, or from a memory buffer (tests, the fuzz target).
 * Also the helpers every file of the client shares (vhttp_priv.h).
 *
 * Bytes are appended to the handle's receive buffer, always terminated;
 * what would overflow it fails the exchange and never reaches an assertion.
 */
#include <stdlib.h>
#include <string.h>

#include "odr.h"
#include "odr_recv.h"
#include "vhttp.h"
#include "vhttp_priv.h"
#include "vsb.h"
#include "vtc_log.h"
#include "vtim.h"

#define VHTTP_RXBUF_SIZE 0x200000

int
vhttp_fail(struct vhttp *hp, const char *why)
{
	vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00882: HTTP response refused: %s", why);
	hp->failed = 1;
	return -1;
}

double
vhttp_left(double deadline)
{
	return deadline == 0 ? 1e9 : deadline - VTIM_mono();
}

void
vhttp_overdue(struct vtclog *vl, int fd)
{
	vtc_log(vl, VTCLOG_ERROR, "QILEC_00792: HTTP exchange not done in time (fd:%d)", fd);
}

bool
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
