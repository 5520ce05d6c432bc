/*
 * fake_upstream_test.cc -- the test fakes checked on their own: the DNS
 * message builders and readers, and the fake upstream server queried
 * directly, plain and encrypted.
 */
#include <gtest/gtest.h>

#include "dns_client.h"
#include "dns_message.h"
#include "fake_upstream.h"
#include "process.h"

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

TEST(DnsMessage, QueryLayout)
{
	dns::Bytes q = dns::build_query(0x1234, "www.example.com", dns::TYPE_A);
	const dns::Bytes want = {
	    0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
	    3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0,
	    0x00, 0x01, 0x00, 0x01};
	EXPECT_EQ(q, want);
	EXPECT_EQ(dns::message_flags(dns::build_query(1, "a", dns::TYPE_A, false)), 0);
}

TEST(DnsMessage, AnswerRoundTrip)
{
	dns::Bytes q = dns::build_query(0xbeef, "Mixed.Example.org", dns::TYPE_A);
	dns::Bytes a = dns::build_answer(q, {dns::a_record("192.0.2.1"),
	                                     dns::cname_record("alias.example.org"),
	                                     dns::aaaa_record("2001:db8::1"),
	                                     dns::ptr_record("host.example"),
	                                     dns::a_record("198.51.100.7")});
	EXPECT_EQ(dns::message_id(a), 0xbeef);
	EXPECT_EQ(dns::message_flags(a) & dns::FLAG_QR, dns::FLAG_QR);
	EXPECT_EQ(dns::message_flags(a) & dns::FLAG_RD, dns::FLAG_RD);
	EXPECT_EQ(dns::message_qdcount(a), 1);
	EXPECT_EQ(dns::message_ancount(a), 5);
	auto qn = dns::first_question(a);
	ASSERT_TRUE(qn);
	EXPECT_EQ(qn->name, "Mixed.Example.org");
	EXPECT_EQ(qn->qtype, dns::TYPE_A);
	EXPECT_EQ(qn->qclass, dns::CLASS_IN);
	auto recs = dns::answer_records(a);
	ASSERT_TRUE(recs);
	ASSERT_EQ(recs->size(), 5u);
	EXPECT_EQ((*recs)[1].type, dns::TYPE_CNAME);
	EXPECT_EQ((*recs)[1].rdata, dns::encode_name("alias.example.org"));
	EXPECT_EQ((*recs)[2].rdata.size(), 16u);
	EXPECT_EQ(dns::answer_addresses(a),
	    (std::vector<std::string>{"192.0.2.1", "198.51.100.7"}));
	EXPECT_EQ(dns::message_id(dns::with_id(a, 7)), 7);
}

TEST(DnsMessage, ReadersRefuseTruncation)
{
	dns::Bytes q = dns::build_query(1, "example.com", dns::TYPE_A);
	dns::Bytes a = dns::build_answer(q, {dns::a_record("192.0.2.1")});
	for (size_t cut = 0; cut < a.size(); cut++) {
		std::span<const uint8_t> part(a.data(), cut);
		EXPECT_FALSE(dns::answer_records(part)) << "cut at " << cut;
	}
	EXPECT_FALSE(dns::first_question(std::span<const uint8_t>(q.data(), 11)));
	EXPECT_EQ(dns::message_id(std::span<const uint8_t>(q.data(), 11)), 0);
	/* A pointer loop ends the walk instead of spinning. */
	dns::Bytes loop = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xc0, 12, 0, 1, 0, 1};
	EXPECT_FALSE(dns::first_question(loop));
}

static Script
answer_with(const std::vector<dns::Record> &recs, std::chrono::milliseconds delay = 0ms)
{
	return [recs, delay](const Received &r) {
		return std::vector<Reply>{{delay, dns::build_answer(r.message, recs)}};
	};
}

TEST(FakeUpstream, PlainAnswersAndRecords)
{
	FakeUpstream fake("127.0.0.2", false, answer_with({dns::a_record("192.0.2.9")}));
	EXPECT_NE(fake.port(), 0);
	EXPECT_EQ(fake.list_entry(), "127.0.0.2:" + std::to_string(fake.port()));
	UdpSocket client;
	dns::Bytes q = dns::build_query(0x4242, "example.com", dns::TYPE_A);
	ASSERT_TRUE(client.send_to("127.0.0.2", fake.port(), q));
	auto d = client.receive(5s);
	ASSERT_TRUE(d);
	EXPECT_EQ(dns::message_id(d->data), 0x4242);
	EXPECT_EQ(dns::answer_addresses(d->data), std::vector<std::string>{"192.0.2.9"});
	EXPECT_EQ(sockaddr_text(d->from), "127.0.0.2:" + std::to_string(fake.port()));
	ASSERT_TRUE(fake.wait_received(1));
	auto got = fake.received();
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(got[0].raw, q);
	EXPECT_EQ(got[0].message, q);
	EXPECT_EQ(ntohs(got[0].from.sin_port), client.port());
}

TEST(FakeUpstream, EncryptedFramesBothWays)
{
	FakeUpstream fake("127.0.0.3", true, answer_with({dns::a_record("192.0.2.10")}));
	EXPECT_EQ(fake.list_entry(), "E127.0.0.3:" + std::to_string(fake.port()));
	UdpSocket client;
	dns::Bytes q = dns::build_query(0x0101, "example.com", dns::TYPE_A); /* 29 bytes */
	dns::Bytes frame = FakeUpstream::frame(q);
	ASSERT_EQ(frame.size(), 2u + 32u);
	EXPECT_EQ(frame[0], q.size());
	EXPECT_EQ(frame[1], 0);
	ASSERT_TRUE(client.send_to("127.0.0.3", fake.port(), frame));
	auto d = client.receive(5s);
	ASSERT_TRUE(d);
	ASSERT_EQ((d->data.size() - 2) % 16, 0u);
	ASSERT_TRUE(fake.wait_received(1));
	auto got = fake.received();
	EXPECT_TRUE(got[0].frame_ok);
	EXPECT_EQ(got[0].length_field, q.size());
	EXPECT_EQ(got[0].message, q);
	ASSERT_EQ(got[0].block.size(), 32u);
	EXPECT_TRUE(std::equal(q.begin(), q.end(), got[0].block.begin()));

	/* The answer decrypts to what the script built. */
	FakeUpstream decoder("127.0.0.3", true);
	ASSERT_TRUE(client.send_to("127.0.0.3", decoder.port(), d->data));
	ASSERT_TRUE(decoder.wait_received(1));
	auto dec = decoder.received();
	ASSERT_TRUE(dec[0].frame_ok);
	EXPECT_EQ(dns::message_id(dec[0].message), 0x0101);
	EXPECT_EQ(dns::answer_addresses(dec[0].message), std::vector<std::string>{"192.0.2.10"});

	/* A datagram that is no frame is recorded as such. */
	dns::Bytes junk(17, 0xab);
	ASSERT_TRUE(client.send_to("127.0.0.3", fake.port(), junk));
	ASSERT_TRUE(fake.wait_received(2));
	EXPECT_FALSE(fake.received()[1].frame_ok);
	EXPECT_EQ(fake.script_failures(), 1u);
}

TEST(FakeUpstream, DelaysRawAndStranger)
{
	FakeUpstream fake("127.0.0.4", true, [](const Received &r) {
		dns::Bytes a = dns::build_answer(r.message, {});
		return std::vector<Reply>{
		    {300ms, a, Reply::Via::Normal},
		    {0ms, dns::Bytes{1, 2, 3}, Reply::Via::Raw},
		    {100ms, a, Reply::Via::Stranger},
		};
	});
	UdpSocket client;
	auto sent = Clock::now();
	ASSERT_TRUE(client.send_to("127.0.0.4", fake.port(),
	    FakeUpstream::frame(dns::build_query(9, "x.test", dns::TYPE_A))));
	auto got = client.collect_until(3, 5s);
	ASSERT_EQ(got.size(), 3u);
	EXPECT_EQ(got[0].data, (dns::Bytes{1, 2, 3}));
	EXPECT_EQ(ntohs(got[0].from.sin_port), fake.port());
	/* The stranger's reply is the bare message, from another port. */
	EXPECT_EQ(dns::message_id(got[1].data), 9);
	EXPECT_NE(ntohs(got[1].from.sin_port), fake.port());
	EXPECT_EQ(ntohs(got[2].from.sin_port), fake.port());
	EXPECT_GE(got[2].at - sent, 300ms);
	EXPECT_TRUE(fake.wait_idle());
}

TEST(FakeUpstream, StopsByItselfAfterItsLifetime)
{
	FakeUpstream fake("127.0.0.5", false, answer_with({}), 0, std::chrono::seconds(1));
	UdpSocket client;
	dns::Bytes q = dns::build_query(5, "a.test", dns::TYPE_A);
	ASSERT_TRUE(client.send_to("127.0.0.5", fake.port(), q));
	ASSERT_TRUE(client.receive(5s));
	/* Once its lifetime is over the fake answers no more. */
	EXPECT_TRUE(wait_until([&] {
		client.send_to("127.0.0.5", fake.port(), q);
		return !client.receive(200ms);
	}, 5s));
}
