/*
 * divert_servers.h -- what diversion asks of the server table. Diversion
 * takes the DNS of the whole machine: with no server to ask it would leave
 * the machine without any, and a resolver on this machine as the server
 * has its own queries to the world turned back to us.
 *
 * First thread, at start-up.
 */
#ifndef QILDNSC_DIVERT_SERVERS_H
#define QILDNSC_DIVERT_SERVERS_H

/* After init_servers(), before any socket is bound or rule installed: 0,
 * or -1 (logged) when the table holds no server. Each server on the
 * loopback (but our own listening address) gets a warning. */
int divert_servers_check(void);

#endif
