/*
 * vdns.cc -- the DNS message parser, the EDNS record read and written, and
 * replies that carry only the question of a message. Every read is checked against the end of the
 * datagram before it is made: the bytes come from the network.
 */
#include <stdio.h>
#include <string.h>

#include "vas.h"
#include "vdns.h"

static uint16_t
vdns_get16(const uint8_t *p)
{
	return (uint16_t)(p[0] << 8 | p[1]);
}

static void
vdns_put16(uint8_t *p, unsigned v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)v;
}

/*
 * Offset just past the name at offset `off` of the `len`-byte message, as
 * it stands (up to and with its terminating label or pointer); -1 when it
 * runs past the end or uses a reserved label type. A name cut by the end
 * just ends there; the record's own checks then find its fields missing.
 * Offsets, not pointers: nothing is ever formed past the end.
 */
static int64_t
vdns_skipname(const uint8_t *msg, int64_t len, int64_t off)
{
	unsigned n;

	while (off < len && (n = msg[off++]) != 0) {
		if ((n & 0xc0) == 0) {
			off += n;
			continue;
		}
		if ((n & 0xc0) != 0xc0)
			return -1;
		off++;
		break;
	}
	return off > len ? -1 : off;
}

/* Offset just past `count` records of `section` from offset `off`, or -1. */
static int64_t
vdns_skiprr(const uint8_t *msg, int64_t len, int64_t off, int section, int count)
{
	for (; count > 0; count--) {
		off = vdns_skipname(msg, len, off);
		if (off < 0)
			return -1;
		off += 4; /* type, class */
		if (section != VDNS_S_QD) {
			if (off + 6 > len)
				return -1;
			off += 6 + vdns_get16(msg + off + 4); /* TTL, length, data */
		}
	}
	return off > len ? -1 : off;
}

static void
vdns_setsection(struct vdns_msg *h, int section)
{
	h->sect = section;
	h->rrnum = section == VDNS_S_MAX ? -1 : 0;
	h->ptr = section == VDNS_S_MAX ? NULL : h->sections[section];
}

int
VDNS_initparse(const uint8_t *msg, size_t len, struct vdns_msg *h)
{
	memset(h, 0, sizeof *h);
	if (len < VDNS_HEADER_SIZE)
		return -1;
	h->msg = msg;
	h->eom = msg + len;
	h->id = vdns_get16(msg);
	h->flags = vdns_get16(msg + 2);
	for (int i = 0; i < VDNS_S_MAX; i++)
		h->counts[i] = vdns_get16(msg + 4 + 2 * i);
	int64_t off = VDNS_HEADER_SIZE;
	for (int i = 0; i < VDNS_S_MAX; i++) {
		if (h->counts[i] == 0)
			continue;
		int64_t next = vdns_skiprr(msg, (int64_t)len, off, i, h->counts[i]);
		if (next < 0)
			return -1;
		h->sections[i] = msg + off;
		off = next;
	}
	if (off != (int64_t)len)
		return -1;
	vdns_setsection(h, VDNS_S_MAX);
	return 0;
}

/*
 * Reads the possibly compressed name at `p` into wire form at `dst` (at
 * most VDNS_MAXCDNAME bytes); the length it takes at `p`, or -1. Every
 * pointer followed is counted, so that a loop ends once the pointers have
 * visited more bytes than the message has.
 */
static int
vdns_unpack(const struct vdns_msg *h, const uint8_t *p, uint8_t *dst)
{
	const uint8_t *cp = p;
	const uint8_t *dstlim = dst + VDNS_MAXCDNAME;
	uint8_t *dp = dst;
	int len = -1;
	ptrdiff_t checked = 0;
	unsigned n;

	if (cp < h->msg || cp >= h->eom)
		return -1;
	while ((n = *cp++) != 0) {
		switch (n & 0xc0) {
		case 0:
			if (dstlim - dp <= n + 1 || h->eom - cp <= n)
				return -1;
			checked += n + 1;
			*dp++ = (uint8_t)n;
			memcpy(dp, cp, n);
			dp += n;
			cp += n;
			break;
		case 0xc0: {
			if (cp >= h->eom)
				return -1;
			if (len < 0)
				len = (int)(cp - p + 1);
			ptrdiff_t target = (ptrdiff_t)((n & 0x3f) << 8 | *cp);
			if (target >= h->eom - h->msg)
				return -1;
			cp = h->msg + target;
			checked += 2;
			if (checked >= h->eom - h->msg)
				return -1;
			break;
		}
		default:
			return -1;
		}
	}
	*dp = 0;
	if (len < 0)
		len = (int)(cp - p);
	return len;
}

/* Renders a wire name as dotted text into `dst` (VDNS_MAXDNAME bytes); the
 * root is the empty text. */
static void
vdns_ntop(const uint8_t *src, char *dst)
{
	char *dp = dst;
	unsigned n;

	while ((n = *src++) != 0) {
		if (dp != dst)
			*dp++ = '.';
		for (; n > 0; n--) {
			uint8_t c = *src++;
			if (strchr("\".;\\()@$", c) != NULL && c != 0) {
				*dp++ = '\\';
				*dp++ = (char)c;
			} else if (c > 0x20 && c < 0x7f) {
				*dp++ = (char)c;
			} else {
				dp += snprintf(dp, 5, "\\%03u", c);
			}
		}
	}
	*dp = '\0';
}

int
VDNS_parserr(struct vdns_msg *h, int section, int rrnum, struct vdns_rr *rr)
{
	uint8_t wire[VDNS_MAXCDNAME];

	if (section < 0 || section >= VDNS_S_MAX)
		return -1;
	if (section != h->sect)
		vdns_setsection(h, section);
	if (rrnum < 0 || rrnum >= h->counts[section])
		return -1;
	if (rrnum < h->rrnum)
		vdns_setsection(h, section);
	if (rrnum > h->rrnum) {
		int64_t off = vdns_skiprr(h->msg, h->eom - h->msg, h->ptr - h->msg, section,
		    rrnum - h->rrnum);
		if (off < 0)
			return -1;
		h->ptr = h->msg + off;
		h->rrnum = rrnum;
	}
	int b = vdns_unpack(h, h->ptr, wire);
	if (b < 0)
		return -1;
	vdns_ntop(wire, rr->name);
	h->ptr += b;
	if (h->eom - h->ptr < 4)
		return -1;
	rr->type = vdns_get16(h->ptr);
	rr->rr_class = vdns_get16(h->ptr + 2);
	h->ptr += 4;
	if (section == VDNS_S_QD) {
		rr->ttl = 0;
		rr->rdlength = 0;
		rr->rdata = NULL;
	} else {
		if (h->eom - h->ptr < 6)
			return -1;
		rr->ttl = (uint32_t)vdns_get16(h->ptr) << 16 | vdns_get16(h->ptr + 2);
		rr->rdlength = vdns_get16(h->ptr + 4);
		h->ptr += 6;
		if (h->eom - h->ptr < rr->rdlength)
			return -1;
		rr->rdata = h->ptr;
		h->ptr += rr->rdlength;
	}
	if (++h->rrnum > h->counts[section])
		vdns_setsection(h, section + 1);
	return 0;
}

int
VDNS_name_unpack(const struct vdns_msg *h, const uint8_t *p, uint8_t *dst)
{
	return vdns_unpack(h, p, dst);
}

/* Notes the options in the `len` bytes of OPT data at `p`. */
static void
vdns_edns_options(const uint8_t *p, unsigned len, struct vdns_edns *e)
{
	while (len >= 4) {
		unsigned code = vdns_get16(p), olen = vdns_get16(p + 2);
		if (olen > len - 4)
			break;
		e->options |= VDNS_OPTION_BIT(code);
		p += 4 + olen;
		len -= 4 + olen;
	}
	e->malformed = len != 0;
}

int
VDNS_edns_read(const struct vdns_msg *h, struct vdns_edns *e)
{
	AN(h);
	AN(e);
	memset(e, 0, sizeof *e);
	if (h->counts[VDNS_S_AR] == 0)
		return 0;
	int64_t len = h->eom - h->msg, off = h->sections[VDNS_S_AR] - h->msg;
	for (unsigned i = 0; i < h->counts[VDNS_S_AR]; i++) {
		int64_t at = off;
		off = vdns_skipname(h->msg, len, off);
		if (off < 0 || off + 10 > len)
			return -1;
		const uint8_t *p = h->msg + off;
		unsigned type = vdns_get16(p), rdlen = vdns_get16(p + 8);
		off += 10 + rdlen;
		if (off > len)
			return -1;
		if (type != VDNS_T_OPT) {
			e->others++;
			if (type == VDNS_T_TSIG || type == VDNS_T_SIG)
				e->signature = 1;
			continue;
		}
		if (e->count++ > 0)
			continue;
		e->at = (uint16_t)at;
		e->len = (uint16_t)(off - at);
		e->size = vdns_get16(p + 2);
		e->ext_rcode = p[4];
		e->version = p[5];
		e->flags = vdns_get16(p + 6);
		vdns_edns_options(p + 10, rdlen, e);
	}
	return 0;
}

int
VDNS_edns_append(uint8_t *msg, size_t len, size_t size, uint16_t udp_size, uint32_t ttl)
{
	AN(msg);
	if (len < VDNS_HEADER_SIZE || len > size || size - len < VDNS_EDNS_LEN)
		return -1;
	unsigned ar = vdns_get16(msg + 10);
	if (ar == 0xffff)
		return -1;
	uint8_t *p = msg + len;
	p[0] = 0; /* the root */
	vdns_put16(p + 1, VDNS_T_OPT);
	vdns_put16(p + 3, udp_size);
	vdns_put16(p + 5, ttl >> 16);
	vdns_put16(p + 7, ttl & 0xffff);
	vdns_put16(p + 9, 0);
	vdns_put16(msg + 10, ar + 1);
	return (int)(len + VDNS_EDNS_LEN);
}

int
VDNS_question_only(const uint8_t *msg, size_t len, uint16_t keep, uint16_t set,
                   uint8_t *out, size_t outsize)
{
	/* Buffers are the caller's: a missing one is a bug, not bad input. */
	AN(msg);
	AN(out);
	if (len < VDNS_HEADER_SIZE)
		return -1;
	unsigned qd = vdns_get16(msg + 4);
	int64_t end = VDNS_HEADER_SIZE;
	for (unsigned i = 0; i < qd; i++) {
		end = vdns_skipname(msg, (int64_t)len, end);
		if (end < 0 || end + 4 > (int64_t)len)
			return -1;
		end += 4;
	}
	if (end > (int64_t)outsize)
		return -1;
	memcpy(out, msg, (size_t)end);
	uint16_t flags = (uint16_t)((vdns_get16(msg + 2) & keep) | set);
	out[2] = (uint8_t)(flags >> 8);
	out[3] = (uint8_t)(flags & 0xff);
	memset(out + 6, 0, 6); /* no answer, authority or additional record */
	return (int)end;
}

int
VDNS_servfail(const uint8_t *q, size_t len, uint8_t *out, size_t outsize)
{
	return VDNS_question_only(q, len, VDNS_OPCODE | VDNS_RD | VDNS_CD,
	    VDNS_QR | VDNS_RA | VDNS_SERVFAIL, out, outsize);
}

int
VDNS_truncated(const uint8_t *a, size_t len, uint8_t *out, size_t outsize)
{
	struct vdns_msg h;
	struct vdns_edns e;

	int n = VDNS_question_only(a, len, 0xffffu, VDNS_TC, out, outsize);
	/* Without its OPT a client of EDNS would take the server for one that
	 * has none; the options answered what the records were for. */
	if (n < 0 || VDNS_initparse(a, len, &h) < 0 || VDNS_edns_read(&h, &e) < 0 ||
	    e.count != 1)
		return n;
	uint32_t ttl = (uint32_t)e.ext_rcode << 24 | (uint32_t)e.version << 16 | e.flags;
	int m = VDNS_edns_append(out, (size_t)n, outsize, e.size, ttl);
	return m < 0 ? n : m;
}
