/*
 * divert_servers.cc -- the server table judged for diversion mode: refused
 * when empty, a warning for each resolver on the loopback. Shared by both
 * platforms; first thread, at start-up.
 */
#include <stdio.h>
#include <string.h>

#include <string>

#include "common/qildnsc.h"
#include "divert/divert_rewrite.h"
#include "divert/divert_servers.h"
#include "servers/servers.h"
#include "vss.h"
#include "vtc_log.h"

/* True for a server on 127.0.0.0/8 (IPv4-mapped too) or ::1. */
static bool
divert_servers_loopback(const struct upstream_server *us)
{
	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us->addr);
	const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(&us->addr);
	if (us->addr.ss_family == AF_INET)
		return (ntohl(sin->sin_addr.s_addr) >> 24) == DIVERT_LOOPBACK_NET;
	if (us->addr.ss_family != AF_INET6)
		return false;
	return IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr) ||
	    (IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr) &&
	    sin6->sin6_addr.s6_addr[12] == DIVERT_LOOPBACK_NET);
}

int
divert_servers_check(void)
{
	CHECK_OBJ_NOTNULL(&upstreams, SERVER_TABLE_MAGIC);
	if (upstreams.n_upstream_servers == 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01050: No DNS server to forward to: diverting would leave this machine "
		    "without DNS, so this one does not start (give servers with -d, or run with -w).");
		return -1;
	}
	/* Asking ourselves is no other resolver's loop. */
	const std::string own[] = {
	    std::string(dnsc_conf.listen_addr) + ":" + dnsc_conf.listen_port,
	    "[::1]:" + std::to_string(DIVERT_LISTEN_PORT)};
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		const struct upstream_server *us = &upstreams.upstream_servers[i];
		char a[INET6_ADDRSTRLEN + 64], e[INET6_ADDRSTRLEN + 64];
		(void)VSS_addr_text(&us->addr, (socklen_t)us->addrlen, a, sizeof a);
		if (!divert_servers_loopback(us) || a == own[0] || a == own[1])
			continue;
		vtc_log(vl, VTCLOG_WARN,
		    "QILEC_01053: DNS server %s is a resolver on this machine: diversion turns "
		    "the queries it sends on to port 53 back to qildnsc, a loop. Run with -w, or "
		    "give that resolver's own servers with -d.", servers_text(us, e, sizeof e));
	}
	return 0;
}
