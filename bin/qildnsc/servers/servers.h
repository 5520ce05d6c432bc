/*
 * servers.h -- the upstream server table and the key of the encrypted
 * servers. Filled once by init_servers() on the start-up thread, read
 * without locks by the event-loop thread afterwards.
 */
#ifndef QILDNSC_SERVERS_H
#define QILDNSC_SERVERS_H

#include <stdint.h>

#include "odr.h"

#include "qca.h"

#define UPSTREAM_ENCRYPTED 0x1u

struct upstream_server {
	struct sockaddr_storage addr;
	int32_t addrlen;
	uint32_t flags;
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

/* Fills the table from dnsc_conf.dns_servers (cut in place) and sets up
 * the key; 0 on success, -1 when an entry does not resolve (logged). */
int init_servers(void);

/* The first server whose address equals `sa` bytewise over `len`, or NULL
 * for a stranger. */
const struct upstream_server *find_upstream_server(const void *sa, socklen_t len);

#endif
