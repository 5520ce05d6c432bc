/*
 * servers.cc -- turns the server-list text ("[E]host[:port],...") into the
 * upstream server table, classifies servers as domestic or foreign when a
 * CRoute table is configured, and sets up the key of encrypted servers.
 *
 * Runs on the start-up thread, after the filter tables are loaded.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "filter/tables.h"
#include "odr.h"
#include "common/qildnsc.h"
#include "common/stats.h"
#include "servers/resolv_conf.h"
#include "servers/servers.h"
#include "upstream_key.h"
#include "vss.h"
#include "vtc_log.h"

struct server_table upstreams = {SERVER_TABLE_MAGIC, NULL, 0, {}};

/*
 * Cuts the port off `host` ("name", "name:port", "a.b.c.d:port", an IPv6
 * literal bare or as "[literal]:port", with its scope or not) into `*port` (left as it is when
 * there is none); the family to resolve it in: AF_INET6 for an IPv6
 * literal, AF_INET for the rest, -1 for a bracket left open.
 */
static int
servers_split(char *host, const char **port)
{
	if (host[0] == '[') {
		char *close = strchr(host, ']');
		if (close == NULL || (close[1] != '\0' && close[1] != ':'))
			return -1;
		if (close[1] == ':')
			*port = close + 2;
		*close = '\0';
		memmove(host, host + 1, strlen(host + 1) + 1);
		return AF_INET6;
	}
	char *colon = strrchr(host, ':');
	if (colon != NULL && strchr(host, ':') != colon)
		return AF_INET6; /* two colons or more: a bare IPv6 literal */
	if (colon != NULL) {
		*colon = '\0';
		*port = colon + 1;
	}
	return AF_INET;
}

#define SERVERS_TLS_PREFIX "tls://"
#define SERVERS_TLS_INSECURE "insecure"

/*
 * The TLS part of entry `entry` ("tls://address[:port][#name]"): the name
 * cut off `host` into `us` (left empty when none is given: the address,
 * once cut from its port and scope, stands for it), the port 853 unless
 * given; -1 (logged) for an entry this build or this syntax refuses.
 */
static int
servers_tls(const char *entry, char *host, struct upstream_server *us)
{
	char *hash = strrchr(host, '#');
	us->flags |= UPSTREAM_TLS;
	if (hash == NULL)
		return 0;
	*hash = '\0';
	const char *name = hash + 1;
	if (*name == '\0' || strlen(name) >= sizeof us->tls_name) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01021: Bad certificate name in DNS server %s (write tls://address[:port][#name])",
		    entry);
		return -1;
	}
	if (strcmp(name, SERVERS_TLS_INSECURE) == 0)
		us->flags |= UPSTREAM_TLS_INSECURE;
	else
		(void)snprintf(us->tls_name, sizeof us->tls_name, "%s", name);
	return 0;
}

/*
 * Cuts the scope off the IPv6 address `host` ("fe80::1%eth0", "fe80::1%2")
 * into `*scope_id`, 0 when it has none; -1 (logged) when no interface here
 * has that name or number.
 */
static int
servers_scope(const char *entry, char *host, uint32_t *scope_id)
{
	char *name = strchr(host, '%');
	*scope_id = 0;
	if (name == NULL)
		return 0;
	*name++ = '\0';
	if (*name >= '0' && *name <= '9') {
		char *end = NULL;
		unsigned long long n = strtoull(name, &end, 10);
		*scope_id = *end == '\0' && n <= UINT32_MAX ? (uint32_t)n : 0;
	} else {
		*scope_id = ODR_ifindex(name);
	}
	if (*scope_id == 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01052: No network interface %s here, in DNS server %s", name, entry);
		return -1;
	}
	return 0;
}

/* Resolves `host` and `port` (`family`'s) of entry `entry` into `us`; -1
 * (logged) when they do not resolve. */
static int
servers_resolve(const char *entry, char *host, const char *port, int family,
                struct upstream_server *us)
{
	uint32_t scope_id = 0;
	if (family == AF_INET6 && servers_scope(entry, host, &scope_id) != 0)
		return -1;
	struct addrinfo hints = {}, *res = NULL;
	hints.ai_family = family;
	hints.ai_socktype = SOCK_DGRAM;
	hints.ai_flags = family == AF_INET6 ? AI_NUMERICHOST : 0;
	int r = getaddrinfo(host, port, &hints, &res);
	if (r != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00689: getaddrinfo(3) for %s error: %s",
		    entry, gai_strerror(r));
		return -1;
	}
	QIL_ASSERT(res->ai_addrlen <= sizeof us->addr);
	memcpy(&us->addr, res->ai_addr, res->ai_addrlen);
	us->addrlen = (int32_t)res->ai_addrlen;
	freeaddrinfo(res);
	/* The kernel heeds a scope on a link-local address alone, and answers
	 * from any other come without one: kept there, it would make them
	 * strangers. */
	auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(&us->addr);
	if (scope_id != 0 && (IN6_IS_ADDR_LINKLOCAL(&sin6->sin6_addr) ||
	    IN6_IS_ADDR_MC_LINKLOCAL(&sin6->sin6_addr)))
		sin6->sin6_scope_id = scope_id;
	return 0;
}

/* Resolves one entry into `us`; -1 (logged) when it does not resolve. */
static int
servers_add(const char *entry, struct upstream_server *us, bool *local_seen,
            bool *foreign_seen)
{
	char host[512] = {};
	const char *port = "53";
	bool tls = ODR_strncasecmp(entry, SERVERS_TLS_PREFIX, strlen(SERVERS_TLS_PREFIX)) == 0;
	bool encrypted = !tls && (entry[0] == 'E' || entry[0] == 'e');

	memset(us, 0, sizeof *us);
	strncpy(host, tls ? entry + strlen(SERVERS_TLS_PREFIX) : encrypted ? entry + 1 : entry,
	    sizeof host - 1);
	if (tls) {
		port = "853";
		if (servers_tls(entry, host, us) != 0)
			return -1;
	}
	int family = servers_split(host, &port);
	if (family < 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00887: Bad IPv6 address in DNS server %s (write [address] or [address]:port)",
		    entry);
		return -1;
	}
	if (VSS_port_check(port) != 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00761: Invalid port in DNS server %s (it must be from 1 to 65535)",
		    entry);
		return -1;
	}
	if (servers_resolve(entry, host, port, family, us) != 0)
		return -1;
	if (encrypted)
		us->flags |= UPSTREAM_ENCRYPTED;
	/* `host` is the address alone now, without its scope. */
	if ((us->flags & UPSTREAM_TLS) && us->tls_name[0] == '\0')
		(void)snprintf(us->tls_name, sizeof us->tls_name, "%s", host);

	if (dnsc_conf.croute_path != NULL) {
		/* The table is IPv4's: an IPv6 server is foreign. */
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us->addr);
		if (us->addr.ss_family == AF_INET && croute_lookup(sin->sin_addr.s_addr))
			*local_seen = true;
		else
			*foreign_seen = true;
	}
	return 0;
}

/* "@network" in the list text `*text` replaced by this machine's
 * resolvers: dnsc_conf.dns_servers becomes the new text. -1 (logged) when
 * they cannot be read. */
static int
servers_network(char **text)
{
	if (strstr(*text, RESOLV_CONF_ENTRY) == NULL)
		return 0;
	const struct resolv_conf_source src = {RESOLV_CONF_PATH, RESOLV_CONF_STUB_PATH,
	    dnsc_conf.listen_addr, dnsc_conf.listen_port};
	std::string list;
	if (resolv_conf_expand(*text, &src, &list) != 0)
		return -1;
	conf_set(&dnsc_conf.dns_servers, list.c_str());
	*text = dnsc_conf.dns_servers;
	return 0;
}

int
init_servers(void)
{
	char *text = dnsc_conf.dns_servers;
	bool local_seen = false, foreign_seen = false;

	if (text == NULL)
		text = dnsc_conf.dns_servers = strdup("");
	AN(text);
	CHECK_OBJ_NOTNULL(&upstreams, SERVER_TABLE_MAGIC);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Using DNS servers: %s", text);

	upstream_key_init(&upstreams.upstream_key);
	if (servers_network(&text) != 0)
		return -1;

	size_t slots = 1;
	for (const char *p = text; *p != '\0'; p++)
		slots += *p == ',';
	free(upstreams.upstream_servers);
	upstreams.upstream_servers = static_cast<struct upstream_server *>(
	    calloc(slots, sizeof *upstreams.upstream_servers));
	AN(upstreams.upstream_servers);
	upstreams.n_upstream_servers = 0;

	/* Cut at each comma in place (the list text is ours to keep cut). */
	for (char *entry = text, *next; entry != NULL; entry = next) {
		char *comma = strchr(entry, ',');
		next = comma != NULL ? comma + 1 : NULL;
		if (comma != NULL)
			*comma = '\0';
		if (*entry == '\0')
			continue;
		stats_server_name(upstreams.n_upstream_servers, entry);
		if (servers_add(entry,
		    &upstreams.upstream_servers[upstreams.n_upstream_servers], &local_seen,
		    &foreign_seen) != 0)
			return -1;
		upstreams.n_upstream_servers++;
	}

	if (upstreams.n_upstream_servers == 0)
		vtc_log(vl, VTCLOG_WARN,
		    "[WARN] No DNS server to forward to: every query will go unanswered.");
	if (dnsc_conf.croute_path != NULL && !(local_seen && foreign_seen))
		vtc_log(vl, VTCLOG_WARN,
		    "[WARN] At least one local DNS and one foreign DNS required if CRoute is enabled.");
	return 0;
}

const char *
servers_text(const struct upstream_server *us, char *buf, size_t size)
{
	AN(us);
	QIL_ASSERT(size > 1);
	const char *e = (us->flags & UPSTREAM_ENCRYPTED) ? "E" : "";
	size_t n = strlen(e);
	(void)snprintf(buf, size, "%s", e);
	(void)VSS_addr_text(&us->addr, (socklen_t)us->addrlen, buf + n, size - n);
	return buf;
}

bool
servers_have_tls(void)
{
	CHECK_OBJ_NOTNULL(&upstreams, SERVER_TABLE_MAGIC);
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++)
		if (upstreams.upstream_servers[i].flags & UPSTREAM_TLS)
			return true;
	return false;
}

const struct upstream_server *
find_upstream_server(const void *sa, socklen_t len)
{
	CHECK_OBJ_NOTNULL(&upstreams, SERVER_TABLE_MAGIC);
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		const struct upstream_server *us = &upstreams.upstream_servers[i];
		/* A TLS server's answers come only through its connection. */
		if (us->flags & UPSTREAM_TLS)
			continue;
		if ((socklen_t)us->addrlen == len && memcmp(&us->addr, sa, len) == 0)
			return us;
	}
	return NULL;
}
