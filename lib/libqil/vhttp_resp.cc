/*
 * vhttp_resp.cc -- the HTTP response parser: the header read byte by byte,
 * so that nothing past it is consumed early, split into its status line
 * and header lines; then the body by Content-Length, chunks, or to the end
 * of the stream.
 *
 * Anything the peer sends is validated here: a response that breaks the
 * rules fails the exchange with a message and never reaches an assertion.
 */
#include <stdio.h>
#include <string.h>

#include "odr.h"
#include "vhttp.h"
#include "vhttp_priv.h"
#include "vtc_log.h"

/* True when the received bytes end with two line ends in a row. */
static bool
vhttp_header_complete(const struct vhttp *hp)
{
	int j = hp->prxbuf - 1;
	int nl = 0;

	while (j > 0 && hp->rxbuf[j] == '\n') {
		nl++;
		j--;
		if (j > 0 && hp->rxbuf[j] == '\r')
			j--;
	}
	return nl >= 2;
}

int
vhttp_rxhdr(struct vhttp *hp)
{
	CHECK_OBJ_NOTNULL(hp, VHTTP_MAGIC);
	hp->prxbuf = 0;
	hp->body = NULL;
	do {
		if (vhttp_rxchar(hp, 1, 0) <= 0)
			return -1;
	} while (!vhttp_header_complete(hp));
	vtc_dump(hp->vl, VTCLOG_DEBUG2, "rxhdr", hp->rxbuf, -1);
	return 0;
}

/* Writes a NUL over the line end at `p` and steps over it. */
static char *
vhttp_end_line(char *p)
{
	bool crlf = p[0] == '\r' && p[1] == '\n';
	*p = '\0';
	return p + (crlf ? 2 : 1);
}

/*
 * Splits the status line at `*pp` into hh[0] to hh[2] (protocol, code, and
 * the reason phrase when there is one) and steps `*pp` over its line end;
 * -1 after vhttp_fail() when it has no code or no line end.
 */
static int
vhttp_split_status(struct vhttp *hp, char **hh, char **pp)
{
	char *p = *pp;

	while (vct_islws(*p))
		p++;
	hh[0] = p;
	while (*p != '\0' && !vct_islws(*p))
		p++;
	if (p == hh[0] || *p == '\0' || vct_iscrlf(*p))
		return vhttp_fail(hp, "status line without a code");
	*p++ = '\0';
	while (vct_issp(*p))
		p++;
	if (*p == '\0' || vct_iscrlf(*p))
		return vhttp_fail(hp, "status line without a code");
	hh[1] = p;
	while (*p != '\0' && !vct_islws(*p))
		p++;
	if (*p == '\0')
		return vhttp_fail(hp, "unterminated status line");
	if (!vct_iscrlf(*p)) {
		*p++ = '\0';
		while (vct_issp(*p))
			p++;
		hh[2] = p;
		while (*p != '\0' && !vct_iscrlf(*p))
			p++;
		if (*p == '\0')
			return vhttp_fail(hp, "unterminated status line");
	}
	*pp = vhttp_end_line(p);
	return 0;
}

int
vhttp_splitheader(struct vhttp *hp, int request)
{
	CHECK_OBJ_NOTNULL(hp, VHTTP_MAGIC);
	char **hh = request ? hp->req_hdr : hp->resp_hdr;
	memset(hh, 0, sizeof hp->resp_hdr);
	char *p = hp->rxbuf;
	int n;

	/* First line: protocol, status code, reason phrase. */
	if (vhttp_split_status(hp, hh, &p) != 0)
		return -1;

	/* Header lines, one slot each; the last slot stays empty. */
	for (n = 3; *p != '\0' && !vct_iscrlf(*p); n++) {
		if (n >= VHTTP_MAX_HDR - 1)
			return vhttp_fail(hp, "too many header lines");
		hh[n] = p;
		while (*p != '\0' && !vct_iscrlf(*p))
			p++;
		if (*p == '\0')
			return vhttp_fail(hp, "unterminated header line");
		p = vhttp_end_line(p);
	}
	if (*p == '\0' || (p = vhttp_end_line(p)) != hp->rxbuf + hp->prxbuf)
		return vhttp_fail(hp, "bytes after the end of the header");

	for (int i = 0; i < VHTTP_MAX_HDR; i++) {
		char pfx[16];
		if (i > 2 && hh[i] == NULL)
			break;
		(void)snprintf(pfx, sizeof pfx, "http[%2d] ", i);
		vtc_dump(hp->vl, VTCLOG_DEBUG2, pfx, hh[i], -1);
	}
	return 0;
}

char *
vhttp_getheader(char *const *hh, const char *name)
{
	size_t l = strlen(name);

	for (int i = 3; i < VHTTP_MAX_HDR && hh[i] != NULL; i++) {
		if (ODR_strncasecmp(hh[i], name, l) != 0 || hh[i][l] != ':')
			continue;
		char *r = hh[i] + l + 1;
		while (vct_issp(*r))
			r++;
		return r;
	}
	return NULL;
}

int
vhttp_rxchunk(struct vhttp *hp)
{
	int32_t l = hp->prxbuf;
	int i;

	do {
		i = vhttp_rxchar(hp, 1, 0);
		if (i <= 0)
			return i;
	} while (hp->rxbuf[hp->prxbuf - 1] != '\n');
	vtc_dump(hp->vl, VTCLOG_DEBUG2, "len", hp->rxbuf + l, -1);

	/* Hexadecimal digits, then only blanks up to the line end. */
	const char *line = hp->rxbuf + l;
	const char *q = line;
	uint64_t size = 0;
	for (; *q != '\0' && strchr("0123456789abcdefABCDEF", *q) != NULL; q++) {
		if (size <= (uint64_t)hp->nrxbuf)
			size = size * 16 + (uint64_t)(*q <= '9' ? *q - '0' : (*q | 0x20) - 'a' + 10);
	}
	const char *end = q;
	while (vct_issp(*end))
		end++;
	if (q == line || (*end != '\0' && !vct_iscrlf(*end))) {
		const char *bad = q == line ? q : (!vct_islws(*q) && *q != '\0' ? q : end);
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00564: chunked fail %02x @ %d",
		    (unsigned char)*bad, (int)(bad - line));
		return vhttp_fail(hp, "malformed chunk-size line");
	}
	/* Refused by what it announces, whatever the input holds. */
	if (size > (uint64_t)hp->nrxbuf || (int64_t)l + (int64_t)size >= hp->nrxbuf)
		return vhttp_fail(hp, "larger than the receive buffer");
	(void)snprintf(hp->chunklen_text, sizeof hp->chunklen_text, "%d", (int)size);

	hp->prxbuf = l;
	hp->rxbuf[l] = '\0';
	if (size > 0) {
		i = vhttp_rxchar(hp, (int)size, 0);
		if (i <= 0)
			return i;
		vtc_dump(hp->vl, VTCLOG_DEBUG2, "chunk", hp->rxbuf + l, (int)size);
	}

	l = hp->prxbuf;
	i = vhttp_rxchar(hp, 2, 0);
	if (i <= 0)
		return i;
	if (!vct_iscrlf(hp->rxbuf[l]))
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00565: Wrong chunk tail[0] = %02x",
		    (unsigned char)hp->rxbuf[l]);
	if (!vct_iscrlf(hp->rxbuf[l + 1]))
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00566: Wrong chunk tail[1] = %02x",
		    (unsigned char)hp->rxbuf[l + 1]);
	hp->prxbuf = l;
	hp->rxbuf[l] = '\0';
	return (int)size;
}

void
vhttp_rxbody(struct vhttp *hp, char *const *hh, int is200)
{
	const char *p;

	if ((p = vhttp_getheader(hh, "content-length")) != NULL) {
		/* Leading decimal digits; anything after them is ignored. */
		uint64_t n = 0;
		for (; *p >= '0' && *p <= '9'; p++)
			if (n <= (uint64_t)hp->nrxbuf)
				n = n * 10 + (uint64_t)(*p - '0');
		/* Refused by what it announces, whatever the input holds. */
		if (n > (uint64_t)hp->nrxbuf || !vhttp_room(hp, (int)n))
			(void)vhttp_fail(hp, "larger than the receive buffer");
		else
			(void)vhttp_rxchar(hp, (int)n, 0);
		hp->bodylen = (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body);
		vtc_dump(hp->vl, VTCLOG_DEBUG2, "body", hp->body, (int)hp->bodylen);
	} else if ((p = vhttp_getheader(hh, "transfer-encoding")) != NULL &&
	    strcmp(p, "chunked") == 0) {
		while (vhttp_rxchunk(hp) > 0)
			continue;
		hp->bodylen = (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body);
	} else if (is200) {
		while (vhttp_rxchar(hp, 1, 1) > 0)
			continue;
		hp->bodylen = (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body);
		vtc_dump(hp->vl, VTCLOG_DEBUG2, "rxeof", hp->body, (int)hp->bodylen);
	} else {
		hp->bodylen = 0;
	}
	(void)snprintf(hp->bodylen_text, sizeof hp->bodylen_text, "%d", (int)hp->bodylen);
}

int
vhttp_rxresp(struct vhttp *hp)
{
	if (vhttp_rxhdr(hp) != 0) {
		vtc_log(hp->vl, VTCLOG_ERROR, "QILEC_00567: vhttp_rxhdr error.");
		return -1;
	}
	if (vhttp_splitheader(hp, 0) != 0)
		return -1;
	hp->body = hp->rxbuf + hp->prxbuf;
	vhttp_rxbody(hp, hp->resp_hdr, strcmp(hp->resp_hdr[1], "200") == 0);
	return hp->failed ? -1 : 0;
}
