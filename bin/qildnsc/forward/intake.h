/*
 * intake.h -- query intake: DNS_local(), one client query from the
 * listening socket to every upstream server.
 *
 * Owned by the event-loop thread alone; nothing here is locked.
 */
#ifndef QILDNSC_INTAKE_H
#define QILDNSC_INTAKE_H

#include "forward/sockets.h"

/* Queries of EDNS size; those over QCA_FRAME_MAXMSG skip encrypted servers. */
#define LOCAL_BUFSIZE SOCK_DGRAM_MAX

/* Checks one datagram received at `now` (the hold queue's clock) on the
 * listening socket, remembers it in the pending ring and queues it for
 * every upstream server, from one upstream socket of socks.remote_fds
 * chosen at random. Bad input is logged (rate-limited) and dropped. */
void DNS_local(struct sock_dgram *d, const struct odr_timeval *now);
/* Sends the cache's background refreshes that are due at `now` to every
 * upstream server, as queries without a client (no-op without a cache). */
void intake_refresh(const struct odr_timeval *now);
/* Writes the summaries of the intake's rate-limited lines whose second is
 * over (called on every loop turn). */
void intake_log_flush(double now);

#endif
