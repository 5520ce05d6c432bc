/*
 * win32/dot_absent.cc -- the Windows build has no TLS library that builds
 * beside jansson and nettle: no DNS over TLS, and a "tls://" server ends
 * the start-up with a line that says so.
 */
#include "common/qildnsc.h"
#include "dot/dot.h"
#include "servers/servers.h"
#include "vtc_log.h"

#define DOT_ABSENT "no TLS library in the Windows build"

bool
dot_supported(const char **why)
{
	*why = DOT_ABSENT;
	return false;
}

int
dot_init(bool check_only)
{
	(void)check_only;
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		if (!(upstreams.upstream_servers[i].flags & UPSTREAM_TLS))
			continue;
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01020: DNS over TLS server %s refused: this build has no DNS over TLS (%s); use plain or E servers.",
		    upstreams.upstream_servers[i].tls_name, DOT_ABSENT);
		return -1;
	}
	return 0;
}

int
dot_owner_fd(enum dot_owner owner)
{
	(void)owner;
	return -1;
}

void *
dot_thread(void *arg)
{
	return arg;
}

void
dot_stop(void)
{
}

const char *
dot_library(void)
{
	return "none";
}
