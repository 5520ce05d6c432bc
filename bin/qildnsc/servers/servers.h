/*
 * servers.h -- the upstream server table and the key of the encrypted
 * servers. Filled once by init_servers() on the start-up thread, read
 * without locks by the event-loop thread afterwards.
 */
#ifndef QILDNSC_SERVERS_H
#define QILDNSC_SERVERS_H

#include <stddef.h>
#include <stdint.h>

#include "odr.h"

#include "qca.h"

#define UPSTREAM_ENCRYPTED 0x1u
/* DNS over TLS ("tls://address[:port][#name]"): reached only through the
 * dot/ thread, never by datagram or plain TCP. */
#define UPSTREAM_TLS 0x2u
/* "#insecure": a TLS server whose certificate is not checked (tests). */
#define UPSTREAM_TLS_INSECURE 0x4u

/* The longest certificate name of a TLS server, with its NUL. */
#define UPSTREAM_TLS_NAME_MAX 256

struct upstream_server {
	struct sockaddr_storage addr;
	int32_t addrlen;
	uint32_t flags;
	/* TLS servers: the name the certificate must match (and that SNI
	 * sends when it is no address). */
	char tls_name[UPSTREAM_TLS_NAME_MAX];
};
static_assert(sizeof(struct sockaddr_storage) == 128, "128-byte address storage");

/* The table and the key: init_servers() writes them on the start-up
 * thread; the event-loop and TCP threads only read them afterwards. */
struct server_table {
	unsigned magic;
#define SERVER_TABLE_MAGIC 0x2a9f4c61
	struct upstream_server *upstream_servers;
	int32_t n_upstream_servers;
	QCA_Context upstream_key;
};

extern struct server_table upstreams;

/* Fills the table from dnsc_conf.dns_servers (cut in place; an
 * "@network" entry first replaced by this machine's resolvers) and sets
 * up the key; 0 on success, -1 when an entry does not resolve or names an
 * interface that is not here, or "@network" cannot be read (logged). */
int init_servers(void);
/* How server `us` is shown, in `buf` (`size` bytes): "E" before an
 * encrypted one, its address and port, the scope of a scoped IPv6 address
 * ("[fe80::1%eth0]:53"). Returns `buf`. */
const char *servers_text(const struct upstream_server *us, char *buf, size_t size);
/* True when any server of the table is a TLS one. */
bool servers_have_tls(void);

/* The first datagram server (not TLS) whose address equals `sa` bytewise
 * over `len`, or NULL for a stranger. */
const struct upstream_server *find_upstream_server(const void *sa, socklen_t len);

#endif
