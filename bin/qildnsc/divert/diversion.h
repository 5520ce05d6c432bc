/*
 * diversion.h -- packet diversion on Linux: a netfilter queue takes the
 * machine's outgoing DNS packets (and the forwarder's replies), and the
 * diversion thread rewrites them so that applications reach the forwarder
 * without any resolver setting changed.
 *
 * The rules (divert_rules.h) live in a chain of their own in the mangle
 * table, for IPv4 and for IPv6; they carry the queue's bypass flag, so DNS
 * passes unchanged whenever nobody reads the queue. While the forwarder
 * reads it, the queue fails closed: a packet it cannot take is dropped,
 * never passed unjudged. DNS over TCP is
 * redirected by a chain of the same name in the nat table to the
 * forwarder's TCP listener of its family, beside the queue.
 */
#ifndef QILDNSC_DIVERSION_H
#define QILDNSC_DIVERSION_H

#include "divert/divert_rules.h"

/* Keeps diversion away from the packets of `fd` (the upstream socket), so
 * that our own queries are never turned back to us; a failure is logged. */
void divert_exempt_socket(int fd);

/* Takes the guard (once; the first thread, at start-up) that lets one
 * qildnsc at a time divert in this network namespace, held until the
 * process ends: 0, or -1 (logged) when another qildnsc diverts here
 * already. Without a guard to be had, 0 (a warning says so). */
int divert_guard(void);

/* Readies a listening socket `fd` (127.0.0.1's, then [::1]'s), before its
 * bind, on the first thread: takes the guard (divert_guard()), marks the
 * socket's replies for the queue, and lets it share its port with a
 * multicast DNS responder bound to the wildcard address. 0, or -1 (logged)
 * when another qildnsc diverts here already; without a guard to be had,
 * the port is not shared. */
int divert_share_listener(int fd);

/* True where diversion takes IPv6 DNS (Linux), which then needs a
 * listening socket on [::1]. */
bool divert_takes_ipv6(void);

/* Tells diversion, on the first thread before start_diversion(), that
 * no listening socket on [::1] could be had: DNS over IPv6 is then left
 * where it was sent, and no IPv6 rule is installed. */
void divert_without_ipv6(void);

/* Tells diversion, on the first thread before start_diversion(), that no
 * TCP listener on [::1] could be had: DNS over TCP over IPv6 is then left
 * where it was sent. */
void divert_without_tcp6(void);

/* Makes the state of diversion (once, on the first thread; never freed),
 * starts diversion_thread() and waits until its queue and rules are in
 * place: 0, or -1 when they could not be set up (logged, no rule left).
 * Ends the process when the thread cannot be started. */
int start_diversion(void);
/* Thread body, started by start_diversion() alone, which hands it the
 * state; owns it from then on. Returns only when the queue or the rules
 * cannot be set up. */
void *diversion_thread(void *arg);
/* Removes the rules the thread installed, at "Exit", on the first thread;
 * nothing when none were installed. */
void stop_diversion(void);

#endif
