/*
 * netwait.h -- waiting for the network before the configuration fetch:
 * at boot, at resume from sleep and on a new network the start may come
 * before a route to anywhere exists, and a fetch then would fail at once.
 *
 * Start-up thread only.
 */
#ifndef QILDNSC_NETWAIT_H
#define QILDNSC_NETWAIT_H

/* The longest wait for a default route, in seconds. */
#define NETWAIT_SECONDS 30

/* True when the routing table holds a default route (IPv4 or IPv6); the
 * platform's own (always true where it cannot tell). */
bool netwait_have_route(void);

/* True when `hostport` ("host", "host:port" or "[v6]:port") names this
 * machine: a loopback literal or "localhost", reached without a route. */
bool netwait_local(const char *hostport);

/*
 * Before a fetch from `hostport` (through `proxy`, when not NULL): unless
 * the one it connects to is on this machine or a default route exists,
 * waits for one at most NETWAIT_SECONDS, logging once when it starts to
 * wait and once when it gives up. It never fails: the fetch that follows
 * says what came of it.
 */
void netwait_for_route(const char *hostport, const char *proxy);

#endif
