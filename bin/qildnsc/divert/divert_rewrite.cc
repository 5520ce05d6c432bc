/*
 * divert_rewrite.cc -- the rewriting rule and the checksums of diverted
 * packets. No system calls: unit-tested on crafted packets.
 */
#include <string.h>

#include "divert/divert_rewrite.h"
#include "odr.h"

#define IP_HDR_MIN 20
#define IP6_HDR 40
#define UDP_HDR 8
#define TCP_HDR_MIN 20
#define IPPROTO_UDP_NUM 17
#define IPPROTO_TCP_NUM 6

static uint16_t
get16(const uint8_t *p)
{
	return (uint16_t)(p[0] << 8 | p[1]);
}

static void
put16(uint8_t *p, uint16_t v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)v;
}

/* Locates the UDP header; 0 when the packet is no whole IPv4/UDP packet
 * (fragments after the first carry no UDP header and are left alone). */
static size_t
divert_udp_offset4(const uint8_t *pkt, size_t len)
{
	if (len < IP_HDR_MIN || (pkt[0] >> 4) != 4)
		return 0;
	size_t ihl = (size_t)(pkt[0] & 0x0f) * 4;
	size_t total = get16(pkt + 2);
	if (ihl < IP_HDR_MIN || total > len || total < ihl + UDP_HDR)
		return 0;
	if (pkt[9] != IPPROTO_UDP_NUM)
		return 0;
	if ((get16(pkt + 6) & 0x3fff) != 0) /* fragmented */
		return 0;
	size_t udplen = get16(pkt + ihl + 4);
	if (udplen < UDP_HDR || udplen > total - ihl)
		return 0;
	return ihl;
}

/* Locates the UDP header of an IPv6 packet; 0 unless it follows the fixed
 * header (a fragment header or any other extension header in between is
 * not DNS we divert). */
static size_t
divert_udp_offset6(const uint8_t *pkt, size_t len)
{
	if (len < IP6_HDR + UDP_HDR || (pkt[0] >> 4) != 6 || pkt[6] != IPPROTO_UDP_NUM)
		return 0;
	size_t payload = get16(pkt + 4);
	if (payload > len - IP6_HDR)
		return 0;
	size_t udplen = get16(pkt + IP6_HDR + 4);
	if (udplen < UDP_HDR || udplen > payload)
		return 0;
	return IP6_HDR;
}

/* Locates the TCP header of an IPv6 packet; 0 unless a whole one follows
 * the fixed header. */
static size_t
divert_tcp_offset6(const uint8_t *pkt, size_t len)
{
	if (len < IP6_HDR + TCP_HDR_MIN || (pkt[0] >> 4) != 6 || pkt[6] != IPPROTO_TCP_NUM)
		return 0;
	size_t payload = get16(pkt + 4);
	size_t doff = (size_t)(pkt[IP6_HDR + 12] >> 4) * 4;
	if (payload > len - IP6_HDR || doff < TCP_HDR_MIN || doff > payload)
		return 0;
	return IP6_HDR;
}

/* The UDP header of either family, or an IPv6 packet's TCP header; 0 when
 * there is none. */
static size_t
divert_transport_offset(const uint8_t *pkt, size_t len)
{
	if (len < 1)
		return 0;
	if ((pkt[0] >> 4) != 6)
		return divert_udp_offset4(pkt, len);
	size_t off = divert_udp_offset6(pkt, len);
	return off != 0 ? off : divert_tcp_offset6(pkt, len);
}

static uint32_t
sum16(const uint8_t *p, size_t n, uint32_t sum)
{
	for (; n >= 2; p += 2, n -= 2)
		sum += get16(p);
	if (n == 1)
		sum += (uint32_t)p[0] << 8;
	return sum;
}

static uint16_t
fold(uint32_t sum)
{
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	return (uint16_t)~sum;
}

int
divert_dst_port(const uint8_t *pkt, size_t len)
{
	size_t ihl = divert_transport_offset(pkt, len);
	return ihl == 0 ? -1 : get16(pkt + ihl + 2);
}

int
divert_src_port(const uint8_t *pkt, size_t len)
{
	size_t ihl = divert_transport_offset(pkt, len);
	if (ihl == 0 || ((pkt[0] >> 4) == 6 && pkt[6] != IPPROTO_UDP_NUM))
		return -1;
	return get16(pkt + ihl);
}

int
divert_checksums(uint8_t *pkt, size_t len)
{
	size_t ihl = divert_transport_offset(pkt, len);
	if (ihl == 0)
		return -1;

	uint32_t sum = 0;
	bool tcp = (pkt[0] >> 4) == 6 && pkt[6] == IPPROTO_TCP_NUM;
	if ((pkt[0] >> 4) == 4) {
		put16(pkt + 10, 0);
		put16(pkt + 10, fold(sum16(pkt, ihl, 0)));
		sum = sum16(pkt + 12, 8, sum); /* source and destination addresses */
	} else {
		/* IPv6 has no header checksum, and its UDP checksum is
		 * mandatory. */
		sum = sum16(pkt + 8, 32, sum);
	}
	uint8_t *l4 = pkt + ihl;
	size_t l4len = tcp ? get16(pkt + 4) : get16(l4 + 4);
	size_t at = tcp ? 16 : 6;
	sum += tcp ? IPPROTO_TCP_NUM : IPPROTO_UDP_NUM;
	sum += (uint32_t)l4len;
	put16(l4 + at, 0);
	sum = sum16(l4, l4len, sum);
	uint16_t c = fold(sum);
	/* A UDP checksum of 0 would mean "no checksum". */
	put16(l4 + at, c == 0 && !tcp ? 0xffff : c);
	return 0;
}

enum divert_result
divert_rewrite(uint8_t *pkt, size_t len, bool outbound, divert_pairs &pairs)
{
	size_t ihl = divert_udp_offset4(pkt, len);
	if (ihl == 0)
		return DIVERT_MALFORMED;
	if (!outbound)
		return DIVERT_UNTOUCHED;

	uint8_t *udp = pkt + ihl;
	uint16_t sport = get16(udp);
	uint16_t dport = get16(udp + 2);
	const uint32_t loopback = htonl(INADDR_LOOPBACK);

	if (dport == DIVERT_DNS_PORT) {
		/* A resolver on the loopback is the machine's own (a caching
		 * stub): asked directly, it keeps its cache and its routing,
		 * and its own queries to the outside are diverted instead. */
		if (pkt[16] == DIVERT_LOOPBACK_NET)
			return DIVERT_UNTOUCHED;
		struct divert_pair &p = pairs[sport];
		memcpy(&p.client, pkt + 12, 4);
		memcpy(&p.server, pkt + 16, 4);
		p.set = true;
		put16(udp + 2, DIVERT_LISTEN_PORT);
		memcpy(pkt + 12, &loopback, 4);
		memcpy(pkt + 16, &loopback, 4);
		return DIVERT_QUERY;
	}
	if (sport == DIVERT_LISTEN_PORT) {
		/* Only the forwarder's replies go where the rewritten queries
		 * came from; a multicast DNS responder's packets from its port
		 * 5353 are someone else's, whatever port they go to. */
		if (memcmp(pkt + 12, &loopback, 4) != 0 || memcmp(pkt + 16, &loopback, 4) != 0)
			return DIVERT_UNTOUCHED;
		const struct divert_pair &p = pairs[dport];
		if (!p.set)
			return DIVERT_NO_PAIR;
		put16(udp, DIVERT_DNS_PORT);
		memcpy(pkt + 12, &p.server, 4);
		memcpy(pkt + 16, &p.client, 4);
		return DIVERT_REPLY;
	}
	return DIVERT_UNTOUCHED;
}

/* The IPv6 rule over the transport header at `l4` (UDP or TCP: their
 * ports lie alike). */
static enum divert_result
divert_turn6(uint8_t *pkt, divert_pairs6 &pairs, uint32_t ifindex, uint32_t *scope)
{
	static const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
	uint8_t *src = pkt + 8, *dst = pkt + 24, *l4 = pkt + IP6_HDR;
	uint16_t sport = get16(l4);
	uint16_t dport = get16(l4 + 2);
	if (dport == DIVERT_DNS_PORT) {
		/* As over IPv4: a resolver on ::1 is the machine's own. */
		if (memcmp(dst, loopback, 16) == 0)
			return DIVERT_UNTOUCHED;
		struct divert_pair6 &p = pairs[sport];
		memcpy(p.client, src, 16);
		memcpy(p.server, dst, 16);
		p.ifindex = ifindex;
		p.set = true;
		put16(l4 + 2, DIVERT_LISTEN_PORT);
		memcpy(src, loopback, 16);
		memcpy(dst, loopback, 16);
		return DIVERT_QUERY;
	}
	if (sport == DIVERT_LISTEN_PORT) {
		/* Only the forwarder's replies, [::1] to [::1]; a multicast DNS
		 * responder's are someone else's. */
		if (memcmp(src, loopback, 16) != 0 || memcmp(dst, loopback, 16) != 0)
			return DIVERT_UNTOUCHED;
		const struct divert_pair6 &p = pairs[dport];
		if (!p.set)
			return DIVERT_NO_PAIR;
		put16(l4, DIVERT_DNS_PORT);
		memcpy(src, p.server, 16);
		memcpy(dst, p.client, 16);
		/* fe80::/10 */
		if (scope != nullptr && dst[0] == 0xfe && (dst[1] & 0xc0) == 0x80)
			*scope = p.ifindex;
		return DIVERT_REPLY;
	}
	return DIVERT_UNTOUCHED;
}

enum divert_result
divert_rewrite6(uint8_t *pkt, size_t len, bool outbound, divert_pairs6 &pairs,
                uint32_t ifindex, uint32_t *scope)
{
	if (scope != nullptr)
		*scope = 0;
	/* Extension headers are legitimate (the rules match UDP behind
	 * them); such a packet passes as it is rather than being dropped. */
	if (len >= IP6_HDR && (pkt[0] >> 4) == 6 && pkt[6] != IPPROTO_UDP_NUM)
		return DIVERT_UNTOUCHED;
	if (divert_udp_offset6(pkt, len) == 0)
		return DIVERT_MALFORMED;
	if (!outbound)
		return DIVERT_UNTOUCHED;
	return divert_turn6(pkt, pairs, ifindex, scope);
}

enum divert_result
divert_rewrite6_tcp(uint8_t *pkt, size_t len, bool outbound, divert_pairs6 &pairs,
                    uint32_t ifindex, uint32_t *scope)
{
	if (scope != nullptr)
		*scope = 0;
	if (divert_tcp_offset6(pkt, len) == 0)
		return DIVERT_MALFORMED;
	if (!outbound)
		return DIVERT_UNTOUCHED;
	return divert_turn6(pkt, pairs, ifindex, scope);
}
