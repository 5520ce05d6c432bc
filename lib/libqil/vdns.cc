/*
 * vdns.cc -- replies that carry only the question of a DNS message.
 */
#include <string.h>

#include "vdns.h"

/* Offset just past the encoded name at `off`, or 0 when it runs past
 * `len`. A compression pointer ends the name. */
static size_t
vdns_skip_name(const uint8_t *msg, size_t len, size_t off)
{
	while (off < len) {
		uint8_t l = msg[off];
		if ((l & 0xc0) == 0xc0)
			return off + 2 <= len ? off + 2 : 0;
		if ((l & 0xc0) != 0)
			return 0; /* the reserved label types */
		off += 1 + (size_t)l;
		if (l == 0)
			return off;
	}
	return 0;
}

int
VDNS_question_only(const uint8_t *msg, size_t len, uint16_t keep, uint16_t set,
                   uint8_t *out, size_t outsize)
{
	if (msg == NULL || out == NULL || len < VDNS_HEADER_SIZE)
		return -1;
	unsigned qd = (unsigned)msg[4] << 8 | msg[5];
	size_t end = VDNS_HEADER_SIZE;
	for (unsigned i = 0; i < qd; i++) {
		end = vdns_skip_name(msg, len, end);
		if (end == 0 || end + 4 > len)
			return -1;
		end += 4;
	}
	if (end > outsize)
		return -1;
	memcpy(out, msg, end);
	uint16_t flags = (uint16_t)((unsigned)msg[2] << 8 | msg[3]);
	flags = (uint16_t)((flags & keep) | set);
	out[2] = (uint8_t)(flags >> 8);
	out[3] = (uint8_t)(flags & 0xff);
	memset(out + 6, 0, 6); /* no answer, authority or additional record */
	return (int)end;
}

int
VDNS_servfail(const uint8_t *q, size_t len, uint8_t *out, size_t outsize)
{
	return VDNS_question_only(q, len, VDNS_OPCODE | VDNS_RD,
	    VDNS_QR | VDNS_RA | VDNS_SERVFAIL, out, outsize);
}

int
VDNS_truncated(const uint8_t *a, size_t len, uint8_t *out, size_t outsize)
{
	return VDNS_question_only(a, len, 0xffffu, VDNS_TC, out, outsize);
}
