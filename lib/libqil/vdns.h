/*
 * vdns.h -- replies without records, built from a DNS message: the header
 * and the question section of a query or an answer, with new flags. The
 * forwarder answers SERVFAIL with it; a server that cannot send an answer
 * whole sends the question back with TC set.
 *
 * Pure functions over caller-owned buffers; safe on any thread. The input
 * comes from the network: it is walked with bounds checks and refused
 * (-1), never trusted.
 */
#ifndef QIL_VDNS_H
#define QIL_VDNS_H

#include <stddef.h>
#include <stdint.h>

#define VDNS_HEADER_SIZE 12

/* Bits of the header's flag word. */
#define VDNS_QR       0x8000u
#define VDNS_OPCODE   0x7800u
#define VDNS_AA       0x0400u
#define VDNS_TC       0x0200u
#define VDNS_RD       0x0100u
#define VDNS_RA       0x0080u
#define VDNS_RCODE    0x000fu
#define VDNS_SERVFAIL 0x0002u

/*
 * Writes to `out` (`outsize` bytes) the header of `msg` (`len` bytes) with
 * flags (old & keep) | set, its question section unchanged and no record
 * in the other sections. Returns the length written, or -1 when `msg` is
 * shorter than a header, its questions run past its end, or `out` is too
 * small.
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
