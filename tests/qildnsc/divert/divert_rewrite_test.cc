/*
 * divert_rewrite_test.cc -- the rewriting rule of packet diversion on
 * crafted IPv4/UDP and IPv6/UDP packets: queries turned to the forwarder,
 * replies turned back per application port, everything else untouched,
 * checksums valid.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "divert/divert_rewrite.h"
#include "odr.h"

namespace {

using Packet = std::vector<uint8_t>;

uint32_t
addr(const char *text)
{
	uint32_t a;
	EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
	return a;
}

/* An IPv4/UDP packet with valid checksums and `payload` bytes of data. */
Packet
udp_packet(const char *src, uint16_t sport, const char *dst, uint16_t dport,
           size_t payload = 29)
{
	Packet p(20 + 8 + payload, 0);
	p[0] = 0x45;
	uint16_t total = htons((uint16_t)p.size());
	memcpy(&p[2], &total, 2);
	p[8] = 64;
	p[9] = 17;
	uint32_t s = addr(src), d = addr(dst);
	memcpy(&p[12], &s, 4);
	memcpy(&p[16], &d, 4);
	uint16_t sp = htons(sport), dp = htons(dport), ul = htons((uint16_t)(8 + payload));
	memcpy(&p[20], &sp, 2);
	memcpy(&p[22], &dp, 2);
	memcpy(&p[24], &ul, 2);
	for (size_t i = 0; i < payload; i++)
		p[28 + i] = (uint8_t)(i * 7 + 1);
	EXPECT_EQ(divert_checksums(p.data(), p.size()), 0);
	return p;
}

std::string
src_of(const Packet &p)
{
	char a[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &p[12], a, sizeof a);
	return std::string(a) + ":" + std::to_string(p[20] << 8 | p[21]);
}

std::string
dst_of(const Packet &p)
{
	char a[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &p[16], a, sizeof a);
	return std::string(a) + ":" + std::to_string(p[22] << 8 | p[23]);
}

/* One's-complement sums that verify to zero when the checksums are right. */
uint16_t
verify(const uint8_t *p, size_t n, uint32_t sum)
{
	for (; n >= 2; p += 2, n -= 2)
		sum += (uint32_t)(p[0] << 8 | p[1]);
	if (n)
		sum += (uint32_t)p[0] << 8;
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	return (uint16_t)~sum;
}

void
expect_valid_checksums(const Packet &p)
{
	EXPECT_EQ(verify(p.data(), 20, 0), 0) << "IPv4 header checksum";
	uint32_t pseudo = 17 + (uint32_t)(p.size() - 20);
	pseudo += (uint32_t)(p[12] << 8 | p[13]) + (uint32_t)(p[14] << 8 | p[15]);
	pseudo += (uint32_t)(p[16] << 8 | p[17]) + (uint32_t)(p[18] << 8 | p[19]);
	EXPECT_EQ(verify(p.data() + 20, p.size() - 20, pseudo), 0) << "UDP checksum";
	EXPECT_NE(p[26] << 8 | p[27], 0) << "a computed UDP checksum is never 0";
}

class DivertRewrite : public ::testing::Test {
protected:
	std::unique_ptr<divert_pairs> pairs = std::make_unique<divert_pairs>();

	divert_result rewrite(Packet &p, bool outbound = true)
	{
		divert_result r = divert_rewrite(p.data(), p.size(), outbound, *pairs);
		if (r == DIVERT_QUERY || r == DIVERT_REPLY) {
			EXPECT_EQ(divert_checksums(p.data(), p.size()), 0);
		}
		return r;
	}
};

TEST_F(DivertRewrite, QueryAndReplyOfOneApplication)
{
	Packet q = udp_packet("192.168.1.20", 50000, "192.0.2.53", 53);
	ASSERT_EQ(rewrite(q), DIVERT_QUERY);
	EXPECT_EQ(src_of(q), "127.0.0.1:50000");
	EXPECT_EQ(dst_of(q), "127.0.0.1:5353");
	expect_valid_checksums(q);

	Packet r = udp_packet("127.0.0.1", 5353, "127.0.0.1", 50000, 45);
	ASSERT_EQ(rewrite(r), DIVERT_REPLY);
	EXPECT_EQ(src_of(r), "192.0.2.53:53");
	EXPECT_EQ(dst_of(r), "192.168.1.20:50000");
	expect_valid_checksums(r);
}

TEST_F(DivertRewrite, InterleavedApplicationsKeepTheirOwnPairs)
{
	Packet q1 = udp_packet("192.168.1.20", 40001, "192.0.2.53", 53);
	Packet q2 = udp_packet("192.168.1.30", 40002, "198.51.100.7", 53);
	ASSERT_EQ(rewrite(q1), DIVERT_QUERY);
	ASSERT_EQ(rewrite(q2), DIVERT_QUERY);

	/* The reply to the first passes after the second query. */
	Packet r1 = udp_packet("127.0.0.1", 5353, "127.0.0.1", 40001);
	Packet r2 = udp_packet("127.0.0.1", 5353, "127.0.0.1", 40002);
	ASSERT_EQ(rewrite(r1), DIVERT_REPLY);
	ASSERT_EQ(rewrite(r2), DIVERT_REPLY);
	EXPECT_EQ(src_of(r1), "192.0.2.53:53");
	EXPECT_EQ(dst_of(r1), "192.168.1.20:40001");
	EXPECT_EQ(src_of(r2), "198.51.100.7:53");
	EXPECT_EQ(dst_of(r2), "192.168.1.30:40002");

	/* A newer query from the same port replaces that port's pair only. */
	Packet q3 = udp_packet("192.168.1.20", 40001, "203.0.113.9", 53);
	ASSERT_EQ(rewrite(q3), DIVERT_QUERY);
	Packet r3 = udp_packet("127.0.0.1", 5353, "127.0.0.1", 40001);
	Packet r4 = udp_packet("127.0.0.1", 5353, "127.0.0.1", 40002);
	ASSERT_EQ(rewrite(r3), DIVERT_REPLY);
	ASSERT_EQ(rewrite(r4), DIVERT_REPLY);
	EXPECT_EQ(src_of(r3), "203.0.113.9:53");
	EXPECT_EQ(src_of(r4), "198.51.100.7:53");
}

TEST_F(DivertRewrite, WhatIsLeftAlone)
{
	/* Port 40000 has asked a server through diversion. */
	Packet asked = udp_packet("192.0.2.1", 40000, "192.0.2.53", 53);
	ASSERT_EQ(rewrite(asked), DIVERT_QUERY);
	struct Case {
		const char *what;
		Packet pkt;
		bool outbound;
		divert_result expect;
	};
	std::vector<Case> cases = {
		{"inbound query", udp_packet("192.0.2.9", 1234, "192.168.1.20", 53), false,
		    DIVERT_UNTOUCHED},
		{"other ports", udp_packet("192.168.1.20", 1234, "192.0.2.53", 123), true,
		    DIVERT_UNTOUCHED},
		{"reply to a port never seen", udp_packet("127.0.0.1", 5353, "127.0.0.1", 999), true,
		    DIVERT_NO_PAIR},
		{"query to a stub resolver on the loopback",
		    udp_packet("127.0.0.1", 40001, "127.0.0.53", 53), true, DIVERT_UNTOUCHED},
		{"multicast DNS answer to a port that asked DNS, from a peer",
		    udp_packet("192.0.2.1", 5353, "192.0.2.200", 40000), true, DIVERT_UNTOUCHED},
		{"multicast DNS answer to a port that asked DNS, on this machine",
		    udp_packet("192.0.2.1", 5353, "192.0.2.1", 40000), true, DIVERT_UNTOUCHED},
	};
	for (auto &c : cases) {
		Packet before = c.pkt;
		EXPECT_EQ(rewrite(c.pkt, c.outbound), c.expect) << c.what;
		EXPECT_EQ(c.pkt, before) << c.what << ": the packet must pass unchanged";
	}

	/* From 5353 to 53 counts as a query: the first rule wins. */
	Packet both = udp_packet("192.168.1.20", 5353, "192.0.2.53", 53);
	EXPECT_EQ(rewrite(both), DIVERT_QUERY);
}

TEST_F(DivertRewrite, MalformedPacketsAreRefusedWithoutReadingPastThem)
{
	Packet good = udp_packet("192.168.1.20", 50000, "192.0.2.53", 53);
	auto with = [&](auto change) {
		Packet p = good;
		change(p);
		return p;
	};
	std::vector<std::pair<const char *, Packet>> cases = {
		{"too short for an IPv4 header", Packet(good.begin(), good.begin() + 19)},
		{"IPv6 version", with([](Packet &p) { p[0] = 0x65; })},
		{"header length below 20", with([](Packet &p) { p[0] = 0x44; })},
		{"total length beyond the buffer", with([](Packet &p) { p[2] = 0xff; })},
		{"not UDP", with([](Packet &p) { p[9] = 6; })},
		{"a later fragment", with([](Packet &p) { p[7] = 0x10; })},
		{"UDP length beyond the packet", with([](Packet &p) { p[25] = 0xff; })},
		{"UDP length below its header", with([](Packet &p) { p[24] = 0; p[25] = 4; })},
		{"cut inside the UDP header", Packet(good.begin(), good.begin() + 24)},
	};
	for (auto &[what, pkt] : cases) {
		/* An exact-size heap copy, so that ASan sees any overread. */
		auto buf = std::make_unique<uint8_t[]>(pkt.size());
		memcpy(buf.get(), pkt.data(), pkt.size());
		EXPECT_EQ(divert_rewrite(buf.get(), pkt.size(), true, *pairs), DIVERT_MALFORMED)
		    << what;
		EXPECT_EQ(divert_checksums(buf.get(), pkt.size()), -1) << what;
	}
}

TEST_F(DivertRewrite, ChecksumsOfOddLengthsAndAllOnes)
{
	for (size_t payload : {0, 1, 2, 511, 512, 1400}) {
		Packet p = udp_packet("10.1.2.3", 53000, "192.0.2.53", 53, payload);
		ASSERT_EQ(rewrite(p), DIVERT_QUERY) << payload;
		expect_valid_checksums(p);
	}
}

/* An IPv6/UDP packet with a valid checksum and `payload` bytes of data. */
Packet
udp6_packet(const char *src, uint16_t sport, const char *dst, uint16_t dport,
            size_t payload = 29)
{
	Packet p(40 + 8 + payload, 0);
	p[0] = 0x60;
	p[4] = (uint8_t)((8 + payload) >> 8);
	p[5] = (uint8_t)(8 + payload);
	p[6] = 17;
	p[7] = 64;
	EXPECT_EQ(inet_pton(AF_INET6, src, &p[8]), 1) << src;
	EXPECT_EQ(inet_pton(AF_INET6, dst, &p[24]), 1) << dst;
	uint8_t udp[6] = {(uint8_t)(sport >> 8), (uint8_t)sport, (uint8_t)(dport >> 8),
	    (uint8_t)dport, p[4], p[5]};
	memcpy(&p[40], udp, sizeof udp);
	for (size_t i = 0; i < payload; i++)
		p[48 + i] = (uint8_t)(i * 7 + 1);
	EXPECT_EQ(divert_checksums(p.data(), p.size()), 0);
	return p;
}

/* "[address]:port" of the source (at 8) or destination (at 24). */
std::string
end6(const Packet &p, size_t at)
{
	char a[INET6_ADDRSTRLEN];
	inet_ntop(AF_INET6, &p[at], a, sizeof a);
	size_t port = at == 8 ? 40 : 42;
	return "[" + std::string(a) + "]:" + std::to_string(p[port] << 8 | p[port + 1]);
}

/* The UDP checksum over the IPv6 pseudo-header verifies, and is never 0. */
void
expect_valid_checksum6(const Packet &p)
{
	uint32_t pseudo = 17 + (uint32_t)(p.size() - 40);
	for (size_t i = 8; i < 40; i += 2)
		pseudo += (uint32_t)(p[i] << 8 | p[i + 1]);
	EXPECT_EQ(verify(p.data() + 40, p.size() - 40, pseudo), 0) << "UDP checksum";
	EXPECT_NE(p[46] << 8 | p[47], 0) << "IPv6 makes the UDP checksum mandatory";
}

TEST_F(DivertRewrite, Ipv6QueriesAndRepliesKeepPairsApartFromIpv4)
{
	auto pairs6 = std::make_unique<divert_pairs6>();
	auto rewrite6 = [&](Packet &p, bool outbound = true) {
		divert_result r = divert_rewrite6(p.data(), p.size(), outbound, *pairs6);
		if (r == DIVERT_QUERY || r == DIVERT_REPLY) {
			EXPECT_EQ(divert_checksums(p.data(), p.size()), 0);
		}
		return r;
	};
	/* Port 40000 asks over both families; port 40001 over IPv4 only. */
	Packet q4 = udp_packet("192.0.2.1", 40000, "192.0.2.53", 53);
	Packet q4b = udp_packet("192.0.2.1", 40001, "192.0.2.53", 53);
	ASSERT_EQ(rewrite(q4), DIVERT_QUERY);
	ASSERT_EQ(rewrite(q4b), DIVERT_QUERY);
	for (size_t payload : {0, 1, 29, 1400}) {
		Packet q = udp6_packet("2001:db8::1", 40000, "2001:db8::53", 53, payload);
		ASSERT_EQ(rewrite6(q), DIVERT_QUERY) << payload;
		EXPECT_EQ(end6(q, 8), "[::1]:40000");
		EXPECT_EQ(end6(q, 24), "[::1]:5353");
		expect_valid_checksum6(q);
	}
	Packet r6 = udp6_packet("::1", 5353, "::1", 40000, 45);
	ASSERT_EQ(rewrite6(r6), DIVERT_REPLY);
	EXPECT_EQ(end6(r6, 8), "[2001:db8::53]:53");
	EXPECT_EQ(end6(r6, 24), "[2001:db8::1]:40000");
	expect_valid_checksum6(r6);
	Packet r4 = udp_packet("127.0.0.1", 5353, "127.0.0.1", 40000);
	ASSERT_EQ(rewrite(r4), DIVERT_REPLY);
	EXPECT_EQ(src_of(r4), "192.0.2.53:53") << "the IPv4 pair is not the IPv6 one";

	struct Case {
		const char *what;
		Packet pkt;
		bool outbound;
		divert_result expect;
	};
	Packet good = udp6_packet("2001:db8::1", 40002, "2001:db8::53", 53);
	auto with = [&](auto change) {
		Packet p = good;
		change(p);
		return p;
	};
	std::vector<Case> cases = {
		{"inbound query", udp6_packet("2001:db8::9", 1234, "2001:db8::1", 53), false,
		    DIVERT_UNTOUCHED},
		{"query to a stub resolver on ::1", udp6_packet("::1", 40003, "::1", 53), true,
		    DIVERT_UNTOUCHED},
		{"reply to a port that asked over IPv4 only", udp6_packet("::1", 5353, "::1", 40001),
		    true, DIVERT_NO_PAIR},
		{"multicast DNS from a peer", udp6_packet("fe80::1", 5353, "ff02::fb", 40000), true,
		    DIVERT_UNTOUCHED},
		{"an IPv4 packet", udp_packet("192.0.2.1", 40002, "192.0.2.53", 53), true,
		    DIVERT_MALFORMED},
		{"an extension header before UDP", with([](Packet &p) { p[6] = 0; }), true,
		    DIVERT_UNTOUCHED},
		{"payload length beyond the buffer", with([](Packet &p) { p[5]++; }), true,
		    DIVERT_MALFORMED},
		{"UDP length beyond the payload", with([](Packet &p) { p[45]++; }), true,
		    DIVERT_MALFORMED},
		{"cut inside the UDP header", Packet(good.begin(), good.begin() + 47), true,
		    DIVERT_MALFORMED},
	};
	for (auto &c : cases) {
		/* An exact-size heap copy, so that ASan sees any overread. */
		Packet before = c.pkt;
		auto buf = std::make_unique<uint8_t[]>(c.pkt.size());
		memcpy(buf.get(), c.pkt.data(), c.pkt.size());
		EXPECT_EQ(divert_rewrite6(buf.get(), c.pkt.size(), c.outbound, *pairs6), c.expect)
		    << c.what;
		EXPECT_EQ(Packet(buf.get(), buf.get() + c.pkt.size()), before) << c.what;
	}
}

/* A segment to a link-local server: turned like a datagram, with the TCP
 * checksum at its own place; a reply to the link-local client gets back the
 * interface its query left by, a reply to a global address none. */
TEST_F(DivertRewrite, TcpToALinkLocalServerKeepsItsScope)
{
	auto tcp = std::make_unique<divert_pairs6>();
	auto segment = [](const char *src, uint16_t sport, const char *dst, uint16_t dport) {
		Packet p = udp6_packet(src, sport, dst, dport, 12);
		p[6] = 6;
		p[40 + 12] = 0x50; /* a 20-byte header, then 12 bytes of data */
		EXPECT_EQ(divert_checksums(p.data(), p.size()), 0);
		return p;
	};
	auto tcp_ok = [](const Packet &p) {
		uint32_t pseudo = 6 + (uint32_t)(p.size() - 40);
		for (size_t i = 8; i < 40; i += 2)
			pseudo += (uint32_t)(p[i] << 8 | p[i + 1]);
		return verify(p.data() + 40, p.size() - 40, pseudo) == 0;
	};
	struct Row {
		const char *client;
		uint32_t scope;
	} rows[] = {{"fe80::1", 7}, {"2001:db8::1", 0}};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.client);
		uint32_t scope = 99;
		Packet q = segment(row.client, 41000, "fe80::53", 53);
		ASSERT_EQ(divert_rewrite6_tcp(q.data(), q.size(), true, *tcp, 7, &scope), DIVERT_QUERY);
		EXPECT_EQ(scope, 0u);
		EXPECT_EQ(end6(q, 8), "[::1]:41000");
		EXPECT_EQ(end6(q, 24), "[::1]:5353");
		ASSERT_EQ(divert_checksums(q.data(), q.size()), 0);
		EXPECT_TRUE(tcp_ok(q));
		Packet r = segment("::1", 5353, "::1", 41000);
		ASSERT_EQ(divert_rewrite6_tcp(r.data(), r.size(), true, *tcp, 1, &scope), DIVERT_REPLY);
		EXPECT_EQ(end6(r, 8), "[fe80::53]:53");
		EXPECT_EQ(end6(r, 24), std::string("[") + row.client + "]:41000");
		EXPECT_EQ(scope, row.scope);
		ASSERT_EQ(divert_checksums(r.data(), r.size()), 0);
		EXPECT_TRUE(tcp_ok(r));
	}
	Packet cut = segment("fe80::1", 41000, "fe80::53", 53);
	cut[40 + 12] = 0xf0; /* a header longer than the segment */
	EXPECT_EQ(divert_rewrite6_tcp(cut.data(), cut.size(), true, *tcp, 7, nullptr),
	    DIVERT_MALFORMED);
	EXPECT_EQ(divert_checksums(cut.data(), cut.size()), -1);
}

} // namespace
