/*
 * vdns.h -- DNS messages on the wire: the parser the forwarder needs (a
 * datagram checked as one whole DNS message, then its records read one at
 * a time), and replies without records built from a message's header and
 * question (the forwarder's SERVFAIL, a server's truncated answer).
 *
 * It keeps the rules of the BIND resolver's ns_initparse()/ns_parserr():
 * a message shorter than its 12-byte header, or whose four sections (names
 * compressed or not) do not end exactly at the end of the datagram, is
 * refused; the ID comes back in host byte order; a record's data pointer
 * points into the datagram, and a record that runs past the end fails.
 * Names are rendered as dotted text with the same escapes ("\." inside a
 * label, "\DDD" for unprintable bytes, the empty text for the root).
 *
 * Nothing is allocated and nothing logs; the handle points into the
 * caller's datagram, which must outlive it. Safe on any thread, one handle
 * per thread. The replies are pure functions over caller-owned buffers;
 * their input is walked with bounds checks and refused (-1), never trusted.
 */
#ifndef QIL_VDNS_H
#define QIL_VDNS_H

#include <stddef.h>
#include <stdint.h>

#define VDNS_HEADER_SIZE 12
#define VDNS_MAXDNAME 1025  /* longest name text, with its NUL */
#define VDNS_MAXCDNAME 255  /* longest name on the wire */

/* Sections, in message order. */
enum vdns_section { VDNS_S_QD, VDNS_S_AN, VDNS_S_NS, VDNS_S_AR, VDNS_S_MAX };

/* Record types the forwarder looks at. */
#define VDNS_T_A    1
#define VDNS_T_PTR  12
#define VDNS_T_AAAA 28

/* Bits of the header's flag word. */
#define VDNS_QR       0x8000u
#define VDNS_OPCODE   0x7800u
#define VDNS_AA       0x0400u
#define VDNS_TC       0x0200u
#define VDNS_RD       0x0100u
#define VDNS_RA       0x0080u
#define VDNS_RCODE    0x000fu
#define VDNS_SERVFAIL 0x0002u

struct vdns_msg {
	const uint8_t *msg, *eom;
	uint16_t id;    /* host order */
	uint16_t flags; /* host order */
	uint16_t counts[VDNS_S_MAX];
	const uint8_t *sections[VDNS_S_MAX]; /* NULL for an empty section */
	/* Where the next record of `sect` starts, and its number. */
	int sect;
	int rrnum;
	const uint8_t *ptr;
};

struct vdns_rr {
	char name[VDNS_MAXDNAME];
	uint16_t type;
	uint16_t rr_class;
	uint32_t ttl;         /* 0 in the question section */
	uint16_t rdlength;    /* 0 in the question section */
	const uint8_t *rdata; /* inside the message; NULL in the question section */
};

/* Checks the `len` bytes at `msg` as one DNS message and fills `h`;
 * 0, or -1 when they are not one. */
int VDNS_initparse(const uint8_t *msg, size_t len, struct vdns_msg *h);

/* Reads record `rrnum` (from 0) of `section` into `rr`; 0, or -1 when
 * there is no such record or it does not parse. Reading records in order
 * costs one step each. */
int VDNS_parserr(struct vdns_msg *h, int section, int rrnum, struct vdns_rr *rr);

/* Reads the possibly compressed name at `p` (inside h's message) into
 * uncompressed wire form at `dst` (VDNS_MAXCDNAME bytes), following
 * pointers and refusing loops and overlong names; the bytes the name takes
 * at `p`, or -1. */
int VDNS_name_unpack(const struct vdns_msg *h, const uint8_t *p, uint8_t *dst);

/*
 * Writes to `out` (`outsize` bytes) the header of `msg` (`len` bytes) with
 * flags (old & keep) | set, its question section unchanged and no record
 * in the other sections. Returns the length written, or -1 when `msg` is
 * shorter than a header, its questions run past its end, or `out` is too
 * small. A NULL `msg` or `out` is the caller's bug (asserted).
 */
int VDNS_question_only(const uint8_t *msg, size_t len, uint16_t keep, uint16_t set,
                       uint8_t *out, size_t outsize);

/* A SERVFAIL reply to the query `q`: its ID, opcode, RD and question, QR
 * and RA set. The length, or -1 as above. */
int VDNS_servfail(const uint8_t *q, size_t len, uint8_t *out, size_t outsize);

/* The truncated form of the answer `a`: its header with TC set and its
 * question, without records. The length, or -1 as above. */
int VDNS_truncated(const uint8_t *a, size_t len, uint8_t *out, size_t outsize);

#endif
