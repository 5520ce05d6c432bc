/*
 * vhttp_priv.h -- what the files of the HTTP client share and nothing else
 * uses: the character classes of the header grammar, and the failure,
 * deadline and buffer-room helpers of vhttp_rx.cc.
 *
 * Same threading as vhttp.h: a handle belongs to the thread of its exchange.
 */
#ifndef QIL_VHTTP_PRIV_H
#define QIL_VHTTP_PRIV_H

struct vhttp;
struct vtclog;

/* A blank inside a line: space or tab. */
static inline bool
vct_issp(int c)
{
	return c == ' ' || c == '\t';
}

/* A byte of a line end: CR or LF. */
static inline bool
vct_iscrlf(int c)
{
	return c == '\r' || c == '\n';
}

/* Any white space of the header grammar: a blank or a line end. */
static inline bool
vct_islws(int c)
{
	return vct_issp(c) || vct_iscrlf(c);
}

/* Logs why the response is refused and marks the exchange as failed; the
 * caller gives up on it. Returns -1. */
int vhttp_fail(struct vhttp *hp, const char *why);

/* Seconds left before `deadline` (a large number when there is none). */
double vhttp_left(double deadline);

/* Logs that the exchange on `fd` ran past its deadline. */
void vhttp_overdue(struct vtclog *vl, int fd);

/* True when the receive buffer has room for `n` (>= 0) more bytes and the
 * terminator. */
bool vhttp_room(const struct vhttp *hp, int n);

#endif
