/*
 * companion_test.cc -- qildnsc-upstream, the real binary, on loopback: the
 * forwarder in front of it (as an encrypted server), a fake resolver behind
 * it. Answers come back through the encryption intact; garbage sent to it
 * is logged (within limits) and never stops it; many queries at once all
 * get their answers.
 *
 * Every process is stopped with a signal at the end of its test and must
 * exit with status 0; the logs are printed when a test fails.
 */
#include <signal.h>
#include <sys/wait.h>

#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "dns_client.h"
#include "dns_message.h"
#include "fake_http.h"
#include "fake_upstream.h"
#include "forwarder_process.h"
#include "process.h"
#include "qca_frame.h"
#include "tmpdir.h"
#include "upstream_key.h"

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

namespace {

const char kResolverAddr[] = "127.0.0.3";

/* The two addresses the fake resolver gives "q<i>.test" (two, so that
 * the forwarder relays them at once). */
std::vector<dns::Record>
records_for(const std::string &name)
{
	unsigned i = (unsigned)std::stoul(name.substr(1));
	std::string net = std::to_string(i / 256) + "." + std::to_string(i % 256);
	return {dns::a_record("10." + net + ".1"), dns::a_record("10." + net + ".2")};
}

class CompanionTest : public ::testing::Test {
protected:
	CompanionTest()
	    : resolver_(kResolverAddr, false, [](const Received &r) {
		      auto q = dns::first_question(r.message);
		      return std::vector<Reply>{{0ms, dns::build_answer(r.message,
		          q && q->name[0] == 'q' ? records_for(q->name) : std::vector<dns::Record>{})}};
	      })
	{
	}

	void
	TearDown() override
	{
		if (fwd_)
			stop(fwd_, SIGTERM);
		if (ups_)
			stop(ups_, SIGTERM);
		if (HasFailure()) {
			std::cerr << "---- qildnsc-upstream ----\n" << ups_log()
			          << "---- qildnsc ----\n"
			          << read_file(dir_.file("qildnsc_stdout.txt")) << "----\n";
		}
	}

	/* Starts the companion on 127.0.0.1 in front of the fake resolver;
	 * a port taken meanwhile fails the bind, and another is tried. */
	void
	start_companion()
	{
		for (int attempt = 0; attempt < 5; attempt++) {
			ups_port_ = pick_udp_port();
			ups_ = std::make_unique<Process>(std::vector<std::string>{
			    QILDNSC_UPSTREAM_BINARY, "-l", "127.0.0.1", "-p",
			    std::to_string(ups_port_), "-r",
			    std::string(kResolverAddr) + ":" + std::to_string(resolver_.port())},
			    dir_.path(), std::vector<std::string>{}, dir_.file("upstream.txt"));
			std::string ready = "Listening on 127.0.0.1:" + std::to_string(ups_port_);
			ASSERT_TRUE(wait_until([&] {
				return ups_log().find(ready) != std::string::npos || !ups_->running();
			}, 10s));
			if (ups_->running())
				return;
			bool taken = ups_log().find("QILEC_00852") != std::string::npos;
			ups_.reset();
			ASSERT_TRUE(taken) << "qildnsc-upstream did not start";
		}
		FAIL() << "no free port for qildnsc-upstream";
	}

	/* The forwarder with the companion as its one (encrypted) server. */
	void
	start_forwarder_in_front()
	{
		start_forwarder(dir_, {"-d", "E127.0.0.1:" + std::to_string(ups_port_)},
		    {config_.config_env()}, 10s, &fwd_, &fwd_err_, &fwd_port_);
	}

	void
	stop(std::unique_ptr<Process> &p, int sig)
	{
		p->signal(sig);
		auto st = p->wait(10s);
		ASSERT_TRUE(st) << "still running 10 s after signal " << sig;
		EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
		expect_no_sanitizer_report(p->stderr_text());
		p.reset();
	}

	std::string ups_log() const { return read_file(dir_.file("upstream.txt")); }

	TmpDir dir_;
	FakeUpstream resolver_;
	FakeHttpServer config_{HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})")};
	std::unique_ptr<Process> ups_, fwd_;
	std::string fwd_err_;
	uint16_t ups_port_ = 0, fwd_port_ = 0;
};

/* A framed query straight to the companion; the unframed answer, if any. */
std::optional<dns::Bytes>
ask_framed(UdpSocket &s, uint16_t port, const dns::Bytes &query)
{
	static const QCA_Context key = [] {
		QCA_Context k{};
		upstream_key_init(&k);
		return k;
	}();
	if (!s.send_to("127.0.0.1", port, FakeUpstream::frame(query)))
		return std::nullopt;
	auto d = s.receive(3s);
	if (!d)
		return std::nullopt;
	size_t len = 0;
	if (QCA_unframe(&key, d->data.data(), d->data.size(), &len) != QCA_UNFRAME_OK)
		return std::nullopt;
	d->data.resize(len);
	return d->data;
}

/* Answers of every size up to the frame's limit come back byte for byte;
 * one byte block more is refused with a log line, never cut. */
TEST_F(CompanionTest, AnswersRoundTripThroughTheEncryption)
{
	start_companion();
	start_forwarder_in_front();
	/* "www.example.test" A: a 34-byte query; each A record adds 16. An
	 * answer too long for the frame comes back truncated (TC set, its
	 * question, no record); one whose question cannot be read, not at all. */
	enum Outcome { WHOLE, TRUNCATED, NOTHING };
	const struct {
		size_t records;
		bool broken_question;
		Outcome outcome;
	} rows[] = {{2, false, WHOLE}, {28, false, WHOLE}, {29, false, TRUNCATED},
	            {200, false, TRUNCATED}, {29, true, NOTHING}};

	DnsClient client(fwd_port_);
	uint16_t id = 0x4100;
	for (const auto &row : rows) {
		std::vector<dns::Record> recs;
		for (size_t i = 0; i < row.records; i++)
			recs.push_back(dns::a_record("198.51.100." + std::to_string(i % 250 + 1)));
		auto answer_to = [&](const dns::Bytes &q) {
			dns::Bytes a = dns::build_answer(q, recs);
			if (row.broken_question)
				a[12] = 0x40; /* a reserved label type */
			return a;
		};
		resolver_.set_script([answer_to](const Received &r) {
			return std::vector<Reply>{{0ms, answer_to(r.message)}};
		});
		dns::Bytes query = dns::build_query(++id, "www.example.test", dns::TYPE_A);
		dns::Bytes want = answer_to(query);
		ASSERT_TRUE(client.send(query));
		auto got = client.receive(row.outcome == NOTHING ? 1s : 3s);
		SCOPED_TRACE(std::to_string(want.size()) + "-byte answer");
		switch (row.outcome) {
		case WHOLE:
			ASSERT_TRUE(got) << "lost";
			EXPECT_EQ(got->data, want) << "changed";
			break;
		case TRUNCATED:
			ASSERT_TRUE(got) << "lost";
			/* The answer's ID, flags with TC and question; no record. */
			ASSERT_EQ(got->data.size(), query.size());
			EXPECT_EQ(dns::message_id(got->data), id);
			EXPECT_EQ(dns::message_flags(got->data), dns::message_flags(want) | dns::FLAG_TC);
			EXPECT_EQ(dns::message_ancount(got->data), 0);
			EXPECT_TRUE(std::equal(query.begin() + 12, query.end(), got->data.begin() + 12));
			break;
		case NOTHING:
			EXPECT_FALSE(got) << "came back";
			/* Without a question to match, it answers nothing. */
			EXPECT_TRUE(wait_for_text(dir_.file("upstream.txt"),
			    "QILEC_00863: resolver: not a DNS response (" +
			    std::to_string(want.size()) + " bytes)"));
			break;
		}
	}
	/* The resolver saw each question, under fresh IDs: a random one may
	 * fall among the clients' by chance (about one run in ten thousand),
	 * every one of them only if the clients' IDs were passed on. */
	ASSERT_TRUE(resolver_.wait_received(std::size(rows)));
	size_t clients_ids = 0;
	for (const auto &r : resolver_.received()) {
		EXPECT_EQ(dns::first_question(r.message)->name, "www.example.test");
		if (dns::message_id(r.message) >= 0x4100 &&
		    dns::message_id(r.message) <= 0x4100 + std::size(rows))
			clients_ids++;
	}
	EXPECT_LT(clients_ids, std::size(rows)) << "the clients' own IDs reached the resolver";
}

struct Garbage {
	const char *name;
	dns::Bytes datagram;
	const char *logged;
};

dns::Bytes
frame_with_length(size_t blocks, uint16_t length_field)
{
	dns::Bytes b(2 + 16 * blocks, 0xa5);
	b[0] = (uint8_t)(length_field & 0xff);
	b[1] = (uint8_t)(length_field >> 8);
	return b;
}

/* Each piece of garbage is logged and dropped; the resolver never sees
 * it; a flood of it writes a few lines and a summary; and a good query
 * is still answered after all of it. */
TEST_F(CompanionTest, GarbageIsLoggedWithinLimitsAndNeverStopsIt)
{
	start_companion();
	dns::Bytes answer = dns::build_answer(dns::build_query(7, "q1.test", dns::TYPE_A),
	    records_for("q1"));
	const Garbage rows[] = {
	    {"Empty", {}, "QILEC_00857: Bad frame"},
	    {"OneByte", {0x01}, "QILEC_00857: Bad frame"},
	    {"SeventeenBytes", dns::Bytes(17, 0), "QILEC_00857: Bad frame"},
	    {"LengthFieldOf600", frame_with_length(1, 600), "QILEC_00857: Bad frame"},
	    {"LengthPastTheBlock", frame_with_length(1, 17), "QILEC_00857: Bad frame"},
	    {"TooBigForAnyFrame", dns::Bytes(600, 0), "QILEC_00857: Bad frame"},
	    {"ElevenBytesFramed", FakeUpstream::frame(dns::Bytes(11, 0)), "QILEC_00858: Not a DNS query"},
	    {"AnAnswerFramed", FakeUpstream::frame(answer), "QILEC_00858: Not a DNS query"},
	};
	UdpSocket s;
	for (const auto &row : rows) {
		size_t before = count_of(ups_log(), row.logged);
		ASSERT_TRUE(s.send_to("127.0.0.1", ups_port_, row.datagram)) << row.name;
		EXPECT_TRUE(wait_until([&] { return count_of(ups_log(), row.logged) > before; },
		    5s)) << row.name << ": not logged";
		/* Five lines a second pass the limit: one row every 200 ms. */
		std::this_thread::sleep_for(200ms);
	}
	EXPECT_EQ(resolver_.received_count(), 0u);

	size_t before = count_of(ups_log(), "QILEC_00857: Bad frame");
	for (int i = 0; i < 2000; i++)
		(void)s.send_to("127.0.0.1", ups_port_, rows[2].datagram);
	EXPECT_TRUE(wait_for_text(dir_.file("upstream.txt"), "more suppressed", 5s));
	EXPECT_LE(count_of(ups_log(), "QILEC_00857: Bad frame") - before, 3u * 5u)
	    << "a flood of garbage floods the log";

	auto got = ask_framed(s, ups_port_, dns::build_query(0x7777, "q1.test", dns::TYPE_A));
	ASSERT_TRUE(got) << "no answer after the garbage";
	EXPECT_EQ(dns::message_id(*got), 0x7777);
	EXPECT_EQ(dns::answer_addresses(*got), (std::vector<std::string>{"10.0.1.1", "10.0.1.2"}));
	ASSERT_TRUE(ups_->running());
	stop(ups_, SIGINT);
}

/* 200 clients' queries at once through forwarder and companion: every
 * one gets the answer to its own question, with its own ID. */
TEST_F(CompanionTest, TwoHundredQueriesAtOnceAllAnswered)
{
	start_companion();
	start_forwarder_in_front();
	const int n = 200;
	std::vector<std::unique_ptr<DnsClient>> clients;
	for (int i = 0; i < n; i++) {
		clients.push_back(std::make_unique<DnsClient>(fwd_port_));
		ASSERT_TRUE(clients.back()->send(dns::build_query(
		    (uint16_t)(0x100 + i), "q" + std::to_string(i) + ".test", dns::TYPE_A)));
	}
	int answered = 0;
	for (int i = 0; i < n; i++) {
		auto got = clients[(size_t)i]->collect_until(1, 10s);
		if (got.empty())
			continue;
		answered++;
		std::string name = "q" + std::to_string(i);
		const dns::Bytes &a = got[0].data;
		EXPECT_EQ(dns::message_id(a), 0x100 + i);
		EXPECT_EQ(dns::first_question(a)->name, name + ".test");
		std::string net = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256);
		EXPECT_EQ(dns::answer_addresses(a),
		    (std::vector<std::string>{net + ".1", net + ".2"}));
	}
	EXPECT_EQ(answered, n);
}

/* A forger on the resolver's path must guess the source port as well as
 * the ID: queries leave from several ports, and an answer with the right ID
 * but another question is dropped while the query waits for its own. */
TEST_F(CompanionTest, AnswersMustMatchTheQuestionAndQueriesLeaveFromManyPorts)
{
	resolver_.set_script([](const Received &r) {
		dns::Bytes forged = dns::build_answer(
		    dns::with_id(dns::build_query(0, "forged.test", dns::TYPE_A),
		                 dns::message_id(r.message)),
		    {dns::a_record("192.0.2.66"), dns::a_record("192.0.2.67")});
		return std::vector<Reply>{
		    {0ms, forged},
		    {100ms, dns::build_answer(r.message,
		                              {dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")})},
		};
	});
	start_companion();
	start_forwarder_in_front();
	DnsClient client(fwd_port_);
	const int n = 16;
	for (int i = 0; i < n; i++) {
		ASSERT_TRUE(client.send(dns::build_query((uint16_t)(0x700 + i), "real.test",
		                                         dns::TYPE_A)));
		auto got = client.collect_until(1, 3s);
		ASSERT_EQ(got.size(), 1u);
		EXPECT_EQ(dns::answer_addresses(got[0].data),
		          (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
	}
	ASSERT_TRUE(resolver_.wait_received(n));
	std::set<uint16_t> ports;
	for (const auto &r : resolver_.received())
		ports.insert(ntohs(r.from.sin_port));
	/* Eight sockets: all sixteen from one would happen once in 8^15. */
	EXPECT_GT(ports.size(), 1u);
	EXPECT_TRUE(wait_for_text(dir_.file("upstream.txt"),
	                          "does not answer its query; dropped."));
}

} // namespace
