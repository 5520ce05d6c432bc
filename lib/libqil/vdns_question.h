/*
 * vdns_question.h -- the first question of a DNS message, kept so that an
 * answer can be matched to the query it claims to answer: its name in
 * uncompressed wire form with ASCII letters folded to lower case, so that
 * equal questions are equal bytes, and which letters the message spelt in
 * upper case, so that a reply can echo its asker's spelling.
 *
 * Nothing allocates and nothing logs; any thread, one record per caller.
 */
#ifndef QIL_VDNS_QUESTION_H
#define QIL_VDNS_QUESTION_H

#include <stdint.h>

#include "vdns.h"

struct vdns_question {
	uint8_t present;  /* 0 for a message without a question */
	uint8_t name_len; /* bytes of `name` in use, the root label included */
	uint16_t type;
	uint16_t rr_class;
	uint8_t name[VDNS_MAXCDNAME];
	/* Bit i % 8 of byte i / 8: byte i of the name was an upper-case
	 * letter. */
	uint8_t upper[(VDNS_MAXCDNAME + 7) / 8];
};

/* Fills `q` from the first question of the parsed message `msg` (not
 * present when it has none); 0, or -1 when the question does not parse. */
int VDNS_question_read(struct vdns_msg *msg, struct vdns_question *q);
/* Writes the name of `q` to `out` (q->name_len bytes) as its message
 * spelt it. */
void VDNS_question_spell(const struct vdns_question *q, uint8_t *out);
/* True when both questions are equal (names compared ignoring case). */
bool VDNS_question_equal(const struct vdns_question *a, const struct vdns_question *b);

#endif
