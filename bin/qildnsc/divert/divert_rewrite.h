/*
 * divert_rewrite.h -- the rewriting rule of packet diversion, as pure
 * functions over one IPv4 or IPv6 packet: queries to port 53 are turned
 * towards the forwarder on 127.0.0.1 (or [::1]) port 5353, and the
 * forwarder's replies (from the loopback port 5353 to the loopback) are
 * turned back into replies from the server the application asked. Queries
 * to a resolver on the loopback and everything else from port 5353
 * (multicast DNS) pass untouched.
 *
 * DNS over TCP is the kernel's NAT's, but for a link-local IPv6 server:
 * the connection's socket is bound to the server's interface, and NAT's
 * loopback address cannot be reached through it. Its segments take the
 * same rule as datagrams, towards the TCP listener on [::1] port 5353.
 *
 * The pairs remembered per application port, one table per family, belong
 * to the diversion thread alone.
 */
#ifndef QILDNSC_DIVERT_REWRITE_H
#define QILDNSC_DIVERT_REWRITE_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#define DIVERT_DNS_PORT 53
#define DIVERT_LISTEN_PORT 5353
/* The first byte of every loopback address (127.0.0.0/8). */
#define DIVERT_LOOPBACK_NET 127

/* The addresses of the most recent query from one application port. */
struct divert_pair {
	uint32_t client; /* the application's address, network order */
	uint32_t server; /* the server it asked, network order */
	bool set;
};

/* Indexed by the application's UDP port (host order). */
using divert_pairs = std::array<struct divert_pair, 65536>;

/* The same over IPv6: an application port's IPv4 and IPv6 queries are
 * different sockets, and their replies must not take each other's pair. */
struct divert_pair6 {
	uint8_t client[16];
	uint8_t server[16];
	/* The interface the query was to leave by: the scope of a link-local
	 * client's address. */
	uint32_t ifindex;
	bool set;
};

/* Indexed by the application's UDP or TCP port (host order): one table
 * for each protocol. */
using divert_pairs6 = std::array<struct divert_pair6, 65536>;

enum divert_result {
	DIVERT_UNTOUCHED,   /* not ours (or inbound): pass unchanged */
	DIVERT_QUERY,       /* rewritten towards the forwarder */
	DIVERT_REPLY,       /* rewritten back towards the application */
	DIVERT_NO_PAIR,     /* a reply for a port without a remembered query */
	DIVERT_MALFORMED,   /* no whole IP and UDP header */
};

/*
 * Applies the rule to the `len`-byte IPv4 packet at `pkt` in place. Only
 * outbound packets are rewritten; the caller recomputes the checksums of a
 * rewritten packet with divert_checksums().
 */
enum divert_result divert_rewrite(uint8_t *pkt, size_t len, bool outbound,
                                  divert_pairs &pairs);

/*
 * The same rule over the `len`-byte IPv6 packet at `pkt`: only a UDP
 * header right after the fixed header is looked at (a packet with
 * extension headers is DIVERT_UNTOUCHED); the forwarder is [::1] port
 * 5353, and a resolver on ::1 is asked directly. A query's interface
 * `ifindex` is remembered with its pair; a reply to a link-local client
 * gets it back in `*scope` (0 for any other packet).
 */
enum divert_result divert_rewrite6(uint8_t *pkt, size_t len, bool outbound,
                                   divert_pairs6 &pairs, uint32_t ifindex = 0,
                                   uint32_t *scope = nullptr);

/* The rule of divert_rewrite6() over a TCP segment right after the fixed
 * header, with the TCP ports' own table. */
enum divert_result divert_rewrite6_tcp(uint8_t *pkt, size_t len, bool outbound,
                                       divert_pairs6 &pairs, uint32_t ifindex,
                                       uint32_t *scope);

/* The destination port of a whole IPv4/UDP, IPv6/UDP or IPv6/TCP packet;
 * -1 otherwise. */
int divert_dst_port(const uint8_t *pkt, size_t len);
/* Its UDP source port; -1 otherwise. */
int divert_src_port(const uint8_t *pkt, size_t len);

/* The IPv4 header checksum (IPv4 only) and the UDP or TCP checksum,
 * recomputed in place; -1 when the packet is not a whole IPv4/UDP,
 * IPv6/UDP or IPv6/TCP packet. */
int divert_checksums(uint8_t *pkt, size_t len);

#endif
