/*
 * dot_wire.cc -- the stream's framing, the padding of queries and the
 * keepalive read from answers.
 */
#include <string.h>

#include <algorithm>

#include "dot/dot_wire.h"
#include "odr.h"
#include "vdns.h"

void
dot_reader_init(struct dot_reader *r)
{
	r->magic = DOT_READER_MAGIC;
	r->have = 0;
}

void
dot_reader_feed(struct dot_reader *r, const uint8_t *p, size_t n, dot_msg_f *f, void *priv)
{
	CHECK_OBJ_NOTNULL(r, DOT_READER_MAGIC);
	while (n > 0) {
		size_t want = 2;
		if (r->have >= 2)
			want = 2 + (size_t)(r->buf[0] << 8 | r->buf[1]);
		size_t take = std::min(n, want - r->have);
		memcpy(r->buf + r->have, p, take);
		r->have += take;
		p += take;
		n -= take;
		if (r->have >= 2 && r->have == 2 + (size_t)(r->buf[0] << 8 | r->buf[1])) {
			r->have = 0;
			f(priv, r->buf + 2, (size_t)(r->buf[0] << 8 | r->buf[1]));
		}
	}
}

static void
wire_put16(uint8_t *p, size_t v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)(v & 0xff);
}

/* The OPT record of `msg` as the last record, its data at `*rdata`; 0 with
 * none, 1 when it is last, -1 when it is elsewhere or pads already. */
static int
wire_opt(struct vdns_msg *msg, size_t len, const uint8_t **rdata, uint16_t *rdlength)
{
	struct vdns_rr rr;
	int ar = msg->counts[VDNS_S_AR];

	for (int i = 0; i < ar; i++) {
		if (VDNS_parserr(msg, VDNS_S_AR, i, &rr) < 0)
			return -1;
		if (rr.type != DOT_T_OPT)
			continue;
		if (i != ar - 1 || rr.rdata + rr.rdlength != msg->msg + len)
			return -1;
		for (size_t o = 0; o + 4 <= rr.rdlength;) {
			size_t code = (size_t)(rr.rdata[o] << 8 | rr.rdata[o + 1]);
			size_t olen = (size_t)(rr.rdata[o + 2] << 8 | rr.rdata[o + 3]);
			if (code == DOT_OPT_PADDING || code == DOT_OPT_KEEPALIVE)
				return -1;
			o += 4 + olen;
		}
		*rdata = rr.rdata;
		*rdlength = rr.rdlength;
		return 1;
	}
	return 0;
}

int
dot_frame_query(const uint8_t *q, size_t len, uint16_t id, uint8_t *out, size_t outsize)
{
	struct vdns_msg msg;
	const uint8_t *rdata = NULL;
	uint16_t rdlength = 0;

	AN(q);
	AN(out);
	if (VDNS_initparse(q, len, &msg) < 0 || len + 2 > outsize || len > DOT_MSG_MAX)
		return -1;
	memcpy(out + 2, q, len);
	wire_put16(out + 2, id);
	int opt = wire_opt(&msg, len, &rdata, &rdlength);
	if (opt < 0) {
		wire_put16(out, len);
		return (int)len + 2;
	}
	/* An OPT record of our own: root name, type, UDP size, no flags. */
	static const uint8_t opt_rr[] = {0, 0, DOT_T_OPT, 0x10, 0x00, 0, 0, 0, 0, 0, 0};
	size_t head = opt == 0 ? sizeof opt_rr : 0;
	size_t m = len + head + 4 + 4; /* the keepalive and the padding's header */
	size_t pad = (DOT_PAD_BLOCK - m % DOT_PAD_BLOCK) % DOT_PAD_BLOCK;
	size_t total = m + pad;
	if (total + 2 > outsize || total > DOT_MSG_MAX)
		return -1;
	uint8_t *p = out + 2 + len;
	if (opt == 0) {
		memcpy(p, opt_rr, sizeof opt_rr);
		p += sizeof opt_rr;
		wire_put16(out + 2 + 10, (size_t)msg.counts[VDNS_S_AR] + 1);
		wire_put16(p - 2, 8 + pad);
	} else {
		wire_put16(out + 2 + (rdata - q) - 2, (size_t)rdlength + 8 + pad);
	}
	wire_put16(p, DOT_OPT_KEEPALIVE);
	wire_put16(p + 2, 0);
	wire_put16(p + 4, DOT_OPT_PADDING);
	wire_put16(p + 6, pad);
	memset(p + 8, 0, pad);
	wire_put16(out, total);
	return (int)total + 2;
}

int
dot_keepalive(const uint8_t *a, size_t len)
{
	struct vdns_msg msg;
	struct vdns_rr rr;

	if (VDNS_initparse(a, len, &msg) < 0)
		return -1;
	for (int i = 0; i < msg.counts[VDNS_S_AR]; i++) {
		if (VDNS_parserr(&msg, VDNS_S_AR, i, &rr) < 0)
			return -1;
		if (rr.type != DOT_T_OPT)
			continue;
		for (size_t o = 0; o + 4 <= rr.rdlength;) {
			size_t code = (size_t)(rr.rdata[o] << 8 | rr.rdata[o + 1]);
			size_t olen = (size_t)(rr.rdata[o + 2] << 8 | rr.rdata[o + 3]);
			if (code == DOT_OPT_KEEPALIVE && olen == 2 && o + 6 <= rr.rdlength)
				return rr.rdata[o + 4] << 8 | rr.rdata[o + 5];
			o += 4 + olen;
		}
		return -1;
	}
	return -1;
}
