/*
 * vdns_question.cc -- the first question of a message in a form that
 * compares as bytes: uncompressed, ASCII letters folded to lower case.
 *
 * Pure functions over the caller's records; any thread.
 */
#include <string.h>

#include "vas.h"
#include "vdns_question.h"

int
VDNS_question_read(struct vdns_msg *msg, struct vdns_question *q)
{
	AN(msg);
	AN(q);
	const uint8_t *base = msg->msg, *end = msg->eom;

	q->present = 0;
	q->name_len = 0;
	memset(q->upper, 0, sizeof q->upper);
	q->type = q->rr_class = 0;
	if (msg->counts[VDNS_S_QD] == 0)
		return 0;
	/* Follows compression pointers, refusing loops and overlong names. */
	int used = VDNS_name_unpack(msg, base + VDNS_HEADER_SIZE, q->name);
	if (used < 0)
		return -1;
	const uint8_t *p = base + VDNS_HEADER_SIZE + used;
	if (end - p < 4) /* type and class */
		return -1;
	size_t len = 0;
	while (q->name[len] != 0)
		len += (size_t)q->name[len] + 1;
	len++;
	/* Label lengths are at most 63, below 'A': folding every byte only
	 * touches letters. */
	for (size_t i = 0; i < len; i++) {
		if (q->name[i] >= 'A' && q->name[i] <= 'Z') {
			q->name[i] = (uint8_t)(q->name[i] + ('a' - 'A'));
			q->upper[i / 8] |= (uint8_t)(1u << (i % 8));
		}
	}
	q->name_len = (uint8_t)len;
	q->type = (uint16_t)(p[0] << 8 | p[1]);
	q->rr_class = (uint16_t)(p[2] << 8 | p[3]);
	q->present = 1;
	return 0;
}

void
VDNS_question_spell(const struct vdns_question *q, uint8_t *out)
{
	AN(q);
	AN(out);
	for (size_t i = 0; i < q->name_len; i++) {
		bool up = (q->upper[i / 8] >> (i % 8)) & 1;
		out[i] = (uint8_t)(up ? q->name[i] - ('a' - 'A') : q->name[i]);
	}
}

bool
VDNS_question_equal(const struct vdns_question *a, const struct vdns_question *b)
{
	AN(a);
	AN(b);
	if (a->present != b->present)
		return false;
	if (!a->present)
		return true;
	return a->type == b->type && a->rr_class == b->rr_class &&
	    a->name_len == b->name_len && memcmp(a->name, b->name, a->name_len) == 0;
}
