/*
 * vhttp.h -- a small blocking HTTP/1.1 client: one GET per call on a fresh
 * connection, optionally through a proxy tunnel (CONNECT), with
 * Content-Length, chunked and read-to-end bodies.
 *
 * Each call owns its socket, handle and buffers; every step logs through
 * the log handle the caller passes. The response parser also reads from a
 * memory buffer, so that it can be tested without sockets. A handle
 * belongs to the thread of its exchange.
 */
#ifndef QIL_VHTTP_H
#define QIL_VHTTP_H

#include <stddef.h>
#include <stdint.h>

struct vtclog;
struct vsb;

#define VHTTP_MAX_HDR 50
/* Seconds one whole exchange may take (connect, tunnel, request and
 * response), however the peer paces its bytes. */
#define VHTTP_DEADLINE 30.0

#define VHTTP_KIND_SOCKET 1
#define VHTTP_KIND_BUFFER 2

struct vhttp {
	unsigned magic;
#define VHTTP_MAGIC 0x2f02169c
	int32_t kind;
	int fd;
	const uint8_t *src;
	uint32_t srclen;
	uint32_t srcpos;
	struct vtclog *vl;
	struct vsb *vsb;
	int32_t nrxbuf;
	char *rxbuf;
	int32_t prxbuf;
	char *body;
	uint32_t bodylen;
	char bodylen_text[20];
	char chunklen_text[20];
	int32_t tmo;
	/* Monotonic time by which the exchange must be done; 0: none. */
	double deadline;
	/* Set when the response broke the rules: the exchange fails. */
	int32_t failed;
	char *req_hdr[VHTTP_MAX_HDR];
	char *resp_hdr[VHTTP_MAX_HDR];
};

/* The exchange (vhttp.cc). */

/* GET `url` from `server` ("host:port"), directly or through `proxy`,
 * within VHTTP_DEADLINE seconds. `*len`: in the capacity of `buf`, out the
 * body length. 0 or -1. */
int VHTTP_get(struct vtclog *vl, const char *server, const char *hdr,
              const char *url, char *buf, size_t *len, const char *proxy);
/* The same within `limit` seconds (at least 1 s for the connect). */
int VHTTP_getWithin(struct vtclog *vl, const char *server, const char *hdr,
                    const char *url, char *buf, size_t *len, const char *proxy,
                    double limit);
/* A connected socket tunnelled to `server` through `proxy`, or -1. */
int vhttp_proxy(struct vtclog *vl, const char *proxy, const char *server);

/* The handle and the bytes it reads (vhttp_rx.cc). */

/* A handle with its buffers, a 3-second time-out and no input yet; NULL
 * when memory is short. vhttp_newSocket() and vhttp_newBuffer() use it. */
struct vhttp *vhttp_allocCommon(struct vtclog *vl);
/* A handle reading the connected socket `fd` (never closed by it), each
 * wait at most `tmo` seconds; NULL when memory is short. */
struct vhttp *vhttp_newSocket(struct vtclog *vl, int fd, int tmo);
/* A handle reading the `len` bytes at `buf`, which must outlive it; NULL
 * when memory is short. */
struct vhttp *vhttp_newBuffer(struct vtclog *vl, const void *buf, size_t len);
/* Frees the handle and its buffers (not its socket). */
void vhttp_free(struct vhttp *hp);

/* Appends `n` bytes of input to the receive buffer: 1 once they came; 0 at
 * the end of the input (logged unless `eof_ok`) or a time-out; -1 on error. */
int vhttp_rxchar(struct vhttp *hp, int n, int eof_ok);
/* vhttp_rxchar() from the handle's socket: polls, then receives, until all
 * `n` bytes came; past the deadline the exchange fails (-1). */
int vhttp_rxcharForSocket(struct vhttp *hp, int n, int eof_ok);
/* vhttp_rxchar() from the handle's memory buffer: 1 with up to `n` bytes,
 * fewer when that is all it has left, 0 when it has none. */
int vhttp_rxcharForBuffer(struct vhttp *hp, int n);

/* The response parser (vhttp_resp.cc). */

/* Receives the header and the body; 0, or -1 when the exchange failed. */
int vhttp_rxresp(struct vhttp *hp);
/* Reads the header into the emptied receive buffer, byte by byte up to its
 * empty line; 0, or -1 when the input ended or failed first. */
int vhttp_rxhdr(struct vhttp *hp);
/* Splits the received header into the slots of the request (`request`) or
 * the response: status line in 0 to 2, header lines from 3; 0, or -1 after
 * vhttp_fail(). */
int vhttp_splitheader(struct vhttp *hp, int request);
/* The value of the header line `name` (any case) among the slots `hh`,
 * blanks after its colon skipped; NULL when there is none. */
char *vhttp_getheader(char *const *hh, const char *name);
/* Reads one chunk of a chunked body onto the body: its size (0: the last
 * chunk); <= 0 as vhttp_rxchar() when input fails, -1 for a bad size line. */
int vhttp_rxchunk(struct vhttp *hp);
/* Reads the body after the header (by Content-Length, chunks, or, when
 * `is200`, to the end of the stream) and sets its length; failures stay in
 * hp->failed. */
void vhttp_rxbody(struct vhttp *hp, char *const *hh, int is200);

#endif
