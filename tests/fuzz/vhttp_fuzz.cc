/*
 * vhttp_fuzz.cc -- libFuzzer target: arbitrary bytes as an HTTP response,
 * read through the memory-buffer input of the HTTP client.
 *
 * Whatever the bytes, the parser must return 0 or -1, never touch memory
 * outside its receive buffer, and on success describe a body that lies
 * inside the received bytes. Built by scripts/fuzz (QIL_FUZZ).
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "vhttp.h"
#include "vtc_log.h"

static struct vtclog *
fuzz_log(void)
{
	static struct vtclog *vl = [] {
		struct vtclog *l = vtc_logopen("fuzz", nullptr);
		FILE *fp = fopen("/dev/null", "w");
		if (fp == nullptr)
			abort();
		l->fp = fp;
		return l;
	}();
	return vl;
}

static bool
inside(const struct vhttp *hp, const char *p)
{
	return p >= hp->rxbuf && p <= hp->rxbuf + hp->prxbuf;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct vhttp *hp = vhttp_newBuffer(fuzz_log(), data, size);
	if (hp == nullptr)
		abort();
	int rc = vhttp_rxresp(hp);
	if (rc != 0 && rc != -1)
		abort();
	if (hp->prxbuf < 0 || hp->prxbuf >= hp->nrxbuf || hp->rxbuf[hp->prxbuf] != '\0')
		abort();
	if (rc == 0) {
		if (hp->body == nullptr || !inside(hp, hp->body) ||
		    hp->bodylen > (uint32_t)(hp->rxbuf + hp->prxbuf - hp->body))
			abort();
		for (int i = 0; i < VHTTP_MAX_HDR && (i < 3 || hp->resp_hdr[i] != nullptr); i++)
			if (hp->resp_hdr[i] != nullptr && !inside(hp, hp->resp_hdr[i]))
				abort();
		if (hp->resp_hdr[0] == nullptr || hp->resp_hdr[1] == nullptr)
			abort();
	}
	vhttp_free(hp);
	return 0;
}
