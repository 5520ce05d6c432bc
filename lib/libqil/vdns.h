/*
 * vdns.h -- DNS messages on the wire: the parser the forwarder needs (a
 * datagram checked as one whole DNS message, then its records read one at
 * a time), its EDNS record (OPT, RFC 6891) read and written, and replies
 * without records built from a message's header and question (the
 * forwarder's SERVFAIL, a server's truncated answer).
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
#define VDNS_T_SIG  24
#define VDNS_T_AAAA 28
#define VDNS_T_OPT  41
#define VDNS_T_TSIG 250

/* Bits of the header's flag word. */
#define VDNS_QR       0x8000u
#define VDNS_OPCODE   0x7800u
#define VDNS_AA       0x0400u
#define VDNS_TC       0x0200u
#define VDNS_RD       0x0100u
#define VDNS_RA       0x0080u
#define VDNS_Z        0x0040u
#define VDNS_AD       0x0020u
#define VDNS_CD       0x0010u
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

/* The OPT record's extended flags (the lower half of its TTL): DNSSEC OK. */
#define VDNS_EDNS_DO 0x8000u
/* An OPT record without options: root name, type, size, TTL, length. */
#define VDNS_EDNS_LEN 11
/* Option codes (RFC 6891's registry) the forwarder looks at. */
#define VDNS_OPTION_NSID      3
#define VDNS_OPTION_ECS       8
#define VDNS_OPTION_EXPIRE    9
#define VDNS_OPTION_COOKIE    10
#define VDNS_OPTION_KEEPALIVE 11
#define VDNS_OPTION_PADDING   12
/* The bit of `code` in vdns_edns.options: codes from 31 on share the top. */
#define VDNS_OPTION_BIT(code) ((code) < 31 ? 1u << (code) : 1u << 31)

/* What the additional section of a message says beside its records. */
struct vdns_edns {
	uint16_t count;     /* OPT records: one in a message that has EDNS */
	uint16_t others;    /* records that are not OPT */
	uint8_t signature;  /* one of those is a TSIG or SIG(0) */
	uint8_t malformed;  /* the first OPT's options overrun its data */
	/* The first OPT record's fields: */
	uint8_t ext_rcode;  /* the upper 8 bits of the RCODE */
	uint8_t version;
	uint16_t size;      /* the UDP size its sender takes */
	uint16_t flags;     /* VDNS_EDNS_DO and the rest */
	uint32_t options;   /* VDNS_OPTION_BIT() of each option it carries */
	uint16_t at, len;   /* its offset in the message and its length */
};

/* Reads the additional section of the parsed message `h` into `e`; 0, or
 * -1 when it does not walk. */
int VDNS_edns_read(const struct vdns_msg *h, struct vdns_edns *e);

/*
 * Appends to the `len`-byte message `msg` (`size` bytes of room) an OPT
 * record without options, announcing `udp_size`, its TTL `ttl` (extended
 * RCODE, version and flags), and counts it in the header. The new length,
 * or -1 when it does not fit or the message is shorter than a header.
 */
int VDNS_edns_append(uint8_t *msg, size_t len, size_t size, uint16_t udp_size, uint32_t ttl);

/*
 * Writes to `out` (`outsize` bytes) the header of `msg` (`len` bytes) with
 * flags (old & keep) | set, its question section unchanged and no record
 * in the other sections. Returns the length written, or -1 when `msg` is
 * shorter than a header, its questions run past its end, or `out` is too
 * small. A NULL `msg` or `out` is the caller's bug (asserted).
 */
int VDNS_question_only(const uint8_t *msg, size_t len, uint16_t keep, uint16_t set,
                       uint8_t *out, size_t outsize);

/* A SERVFAIL reply to the query `q`: its ID, opcode, RD, CD and question,
 * QR and RA set. The length, or -1 as above. */
int VDNS_servfail(const uint8_t *q, size_t len, uint8_t *out, size_t outsize);

/* The truncated form of the answer `a`: its header with TC set, its
 * question, and its OPT record without options when it has one and `out`
 * holds it (RFC 6891, section 7); no other record. The length, or -1 as
 * above. */
int VDNS_truncated(const uint8_t *a, size_t len, uint8_t *out, size_t outsize);

#endif
