/*
 * divert_inject.h -- rewritten packets sent by the diversion thread itself,
 * through raw sockets, instead of handed back to the queue.
 *
 * A packet handed back with new addresses is routed again with the
 * interface its socket is bound to (SO_BINDTODEVICE, or a connect() to a
 * scoped link-local server): a query turned towards the loopback would
 * then leave through that interface, and a reply to a link-local address
 * would be routed through the loopback device alone, where no socket bound
 * to the interface sees it. Sent from our own socket, a query is routed by
 * its new addresses only, and a reply to a link-local client goes out with
 * the interface its query came from as its scope.
 *
 * The diversion thread's alone. Linux only.
 */
#ifndef QILDNSC_DIVERT_INJECT_H
#define QILDNSC_DIVERT_INJECT_H

#include <stddef.h>
#include <stdint.h>

struct divert_inject {
	unsigned magic;
#define DIVERT_INJECT_MAGIC 0x1f0c3e5a
	int fd4; /* raw IPv4 socket with its header included, or -1 */
	int fd6; /* the same for IPv6, or -1 */
};

/*
 * Opens the two raw sockets, marked so that our own rules let their
 * packets pass. Without CAP_NET_RAW there are none (logged once): packets
 * are then handed back to the queue, and interface-bound clients go
 * unanswered.
 */
void divert_inject_open(struct divert_inject *in);

/*
 * Sends the whole IPv4 or IPv6 packet `pkt` of `len` bytes, its checksums
 * already right; an IPv6 packet to a link-local address goes out with
 * interface `scope` as its scope. False when there is no socket for its
 * family or the send failed (errno kept): the caller hands it back to the
 * queue instead.
 */
bool divert_inject_send(struct divert_inject *in, const uint8_t *pkt, size_t len,
                        unsigned scope);

#endif
