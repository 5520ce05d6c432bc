/*
 * divert_fuzz.cc -- libFuzzer target: whole IP packets through the
 * diversion's rewriting rule and checksums, in both directions.
 *
 * The first byte gives the direction (bit 0: outbound); the rest is the
 * packet, in a buffer of exactly its length. Whatever the bytes: no access
 * outside the packet; a rewritten packet is a whole IPv4/UDP, IPv6/UDP or
 * IPv6/TCP packet whose checksums then verify; a query leaves towards
 * 127.0.0.1 (or [::1]) port 5353; and nothing but a rewrite changes a byte.
 * Packets of version 6 go through the IPv6 rule (TCP ones through its TCP
 * twin, as the diversion thread sends them), all others through the IPv4
 * one.
 */
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "divert/divert_rewrite.h"

static uint32_t
sum16(const uint8_t *p, size_t n, uint32_t sum)
{
	for (; n >= 2; p += 2, n -= 2)
		sum += (uint32_t)(p[0] << 8 | p[1]);
	if (n == 1)
		sum += (uint32_t)p[0] << 8;
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	return sum;
}

/* The header checksum and the UDP or TCP checksum (with its
 * pseudo-header) of a packet whose checksums were just computed both
 * verify. */
static void
check_sums(const uint8_t *pkt)
{
	if ((pkt[0] >> 4) == 6) {
		uint8_t proto = pkt[6];
		size_t l4len = proto == 6 ? (size_t)(pkt[4] << 8 | pkt[5]) :
		    (size_t)(pkt[44] << 8 | pkt[45]);
		if (sum16(pkt + 40, l4len, sum16(pkt + 8, 32, 0) + proto + (uint32_t)l4len) != 0xffff)
			abort();
		return;
	}
	size_t ihl = (size_t)(pkt[0] & 0x0f) * 4;
	if (sum16(pkt, ihl, 0) != 0xffff)
		abort();
	const uint8_t *udp = pkt + ihl;
	size_t udplen = (size_t)(udp[4] << 8 | udp[5]);
	uint32_t sum = sum16(pkt + 12, 8, 0) + 17 + (uint32_t)udplen;
	if (sum16(udp, udplen, sum) != 0xffff)
		abort();
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static divert_pairs pairs;
	static divert_pairs6 pairs6, tcp_pairs6;
	if (size < 1 || size > 4097)
		return 0;
	bool outbound = data[0] & 1;
	std::vector<uint8_t> pkt(data + 1, data + size);
	const std::vector<uint8_t> before = pkt;

	int port = divert_dst_port(pkt.data(), pkt.size());
	bool v6 = pkt.size() > 0 && (pkt[0] >> 4) == 6;
	bool tcp = v6 && pkt.size() >= 40 && pkt[6] == 6;
	uint32_t scope;
	enum divert_result r = tcp ? divert_rewrite6_tcp(pkt.data(), pkt.size(), outbound,
	    tcp_pairs6, 2, &scope) : v6 ? divert_rewrite6(pkt.data(), pkt.size(), outbound, pairs6) :
	    divert_rewrite(pkt.data(), pkt.size(), outbound, pairs);
	switch (r) {
	case DIVERT_QUERY:
	case DIVERT_REPLY:
		if (port < 0 || divert_checksums(pkt.data(), pkt.size()) != 0)
			abort();
		check_sums(pkt.data());
		if (r == DIVERT_QUERY) {
			const uint32_t lo = htonl(INADDR_LOOPBACK);
			const uint8_t *src = pkt.data() + (v6 ? 8 : 12);
			size_t n = v6 ? 16 : 4;
			const void *want = v6 ? static_cast<const void *>(&in6addr_loopback) : &lo;
			if (divert_dst_port(pkt.data(), pkt.size()) != DIVERT_LISTEN_PORT ||
			    memcmp(src, want, n) != 0 || memcmp(src + n, want, n) != 0)
				abort();
		}
		break;
	case DIVERT_MALFORMED:
		if (port != -1 || pkt != before)
			abort();
		break;
	case DIVERT_UNTOUCHED:
		/* An IPv6 packet with extension headers passes unparsed. */
		if ((port < 0 && !(v6 && pkt.size() >= 40 && pkt[6] != 17)) || pkt != before)
			abort();
		break;
	case DIVERT_NO_PAIR:
		if (port < 0 || pkt != before)
			abort();
		break;
	}
	return 0;
}
