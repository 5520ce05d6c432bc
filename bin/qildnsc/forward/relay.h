/*
 * relay.h -- response relay: DNS_remote(), one upstream answer matched to
 * its pending query, judged by the filter and relayed, held or dropped.
 *
 * Owned by the event-loop thread alone; nothing here is locked.
 */
#ifndef QILDNSC_RELAY_H
#define QILDNSC_RELAY_H

#include <stdint.h>
#include "odr.h"
#include "forward/sockets.h"

/* Plain answers of EDNS size; an encrypted server's datagram longer than a
 * frame (QCA_FRAME_MAXSIZE) is refused as the message-size error. */
#define REMOTE_BUFSIZE SOCK_DGRAM_MAX

/*
 * Checks one datagram received at `now` on upstream socket number `sock`
 * (an index of socks.remote_fds) and relays, holds or drops it (relayed answers
 * are queued on socks.local_fd). An answer counts only on the socket its query
 * left from. Bad input is logged (rate-limited) and dropped.
 */
void DNS_remote(struct sock_dgram *d, int sock, const struct odr_timeval *now);
/*
 * The same for one datagram of the TLS thread's channel (dot.h): a TLS
 * server's answer, judged like the others but never held, since a
 * verified connection carries no forged answer to overtake.
 */
void DNS_remote_tls(struct sock_dgram *d, const struct odr_timeval *now);

/* Writes the summaries of the relay's rate-limited lines whose second is
 * over (called on every loop turn). */
void relay_log_flush(double now);

#endif
