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

extern struct upstream_server *upstream_servers;
extern int32_t n_upstream_servers;
extern QCA_Context upstream_key;

/* 0 on success, -1 when an entry does not resolve (logged). */
int init_servers(void);

/* The first server whose address equals `sa` bytewise over `len`. */
const struct upstream_server *find_upstream_server(const void *sa, socklen_t len);

#endif
