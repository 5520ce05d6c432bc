/*
 * vhttp.h -- a small blocking HTTP/1.1 client: one GET per call on a fresh
 * connection, optionally through a proxy tunnel (CONNECT), with
 * Content-Length, chunked and read-to-end bodies.
 *
 * Each call owns its socket, handle and buffers; every step logs through
 * the log handle the caller passes. The response parser also reads from a
 * memory buffer, so that it can be tested without sockets.
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

struct vhttp *vhttp_allocCommon(struct vtclog *vl);
struct vhttp *vhttp_newSocket(struct vtclog *vl, int fd, int tmo);
struct vhttp *vhttp_newBuffer(struct vtclog *vl, const void *buf, size_t len);
void vhttp_free(struct vhttp *hp);

/* Receives the header and the body; 0, or -1 when the exchange failed. */
int vhttp_rxresp(struct vhttp *hp);
int vhttp_rxchar(struct vhttp *hp, int n, int eof_ok);
int vhttp_rxcharForSocket(struct vhttp *hp, int n, int eof_ok);
int vhttp_rxcharForBuffer(struct vhttp *hp, int n);
int vhttp_rxhdr(struct vhttp *hp);
int vhttp_splitheader(struct vhttp *hp, int request);
char *vhttp_getheader(char *const *hh, const char *name);
int vhttp_rxchunk(struct vhttp *hp);
void vhttp_rxbody(struct vhttp *hp, char *const *hh, int is200);

#endif
