/*
 * divert_rewrite_test.cc -- the rewriting rule of packet diversion on
 * crafted IPv4/UDP packets: queries turned to the forwarder, replies turned
 * back per application port, everything else untouched, checksums valid.
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

} // namespace
