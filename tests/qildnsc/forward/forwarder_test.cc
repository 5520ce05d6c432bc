/*
 * forwarder_test.cc -- the real qildnsc binary as a forwarder on loopback,
 * between test clients (and dig) and fake upstream servers on 127.0.0.2 and
 * up, plain and encrypted: IDs, framing, the answer filter, the hold of
 * fallback answers, what is dropped on either socket, and the exit.
 *
 * Each test starts its own forwarder in a temporary directory, with a
 * loopback configuration server that hands it a document without servers
 * (the server list comes from -d); its log is printed when a test fails.
 * The forwarder is stopped with SIGTERM at the end of every test and must
 * exit with status 0 and a clean standard error.
 */
#include <poll.h>
#include <netinet/in.h>
#include <unistd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "cache/cache_file.h"
#include "dns_client.h"
#include "dns_message.h"
#include "fake_http.h"
#include "fake_tcp_upstream.h"
#include "fake_tls_server.h"
#include "fake_upstream.h"
#include "forwarder_process.h"
#include "forward/intake.h"
#include "forward/pending.h"
#include "fd.h"
#include "process.h"
#include "qca_frame.h"
#include "tcp_client.h"
#include "upstream_key.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

namespace {

using Addresses = std::vector<std::string>;

/* Answers every query with `recs` after `delay`. */
Script
answer(std::vector<dns::Record> recs, std::chrono::milliseconds delay = 0ms)
{
	return [recs = std::move(recs), delay](const Received &r) {
		return std::vector<Reply>{{delay, dns::build_answer(r.message, recs)}};
	};
}

std::vector<dns::Record>
a_records(std::initializer_list<const char *> addrs)
{
	std::vector<dns::Record> out;
	for (const char *a : addrs)
		out.push_back(dns::a_record(a));
	return out;
}

/* A query of exactly `total` bytes: a question for "long.test", then more
 * questions with long names (at most 250 bytes each) until it is full. */
dns::Bytes
sized_query(uint16_t id, size_t total)
{
	dns::Bytes q = dns::build_query(id, "long.test", dns::TYPE_A);
	uint16_t qd = 1;
	while (q.size() < total) {
		size_t left = total - q.size();
		/* One question: its encoded name, then type and class. */
		size_t name = std::min<size_t>(left - 4, 250);
		/* What is left after it must fit a question of its own. */
		if (left - (name + 4) != 0 && left - (name + 4) < 7)
			name -= 7;
		std::string text;
		size_t room = name - 1; /* bytes before the root label */
		while (room > 0) {
			size_t l = std::min<size_t>(room - 1, 63);
			if (room - (l + 1) == 1)
				l--;
			if (!text.empty())
				text += '.';
			text += std::string(l, static_cast<char>('a' + qd % 26));
			room -= l + 1;
		}
		dns::Bytes n = dns::encode_name(text);
		q.insert(q.end(), n.begin(), n.end());
		q.insert(q.end(), {0, dns::TYPE_A, 0, dns::CLASS_IN});
		qd++;
	}
	q[4] = static_cast<uint8_t>(qd >> 8);
	q[5] = static_cast<uint8_t>(qd & 0xff);
	return q;
}

/* The text of the log's warning lines (after the level label) that match
 * `pattern`. */
std::vector<std::string>
warnings(const std::string &log, const std::string &pattern)
{
	const std::string label = "[WARN]";
	std::regex re(pattern);
	std::vector<std::string> out;
	std::istringstream in(log);
	for (std::string line; std::getline(in, line);) {
		size_t at = line.find(label);
		if (at == std::string::npos)
			continue;
		std::string text = line.substr(at + label.size());
		if (std::regex_search(text, re))
			out.push_back(text);
	}
	return out;
}

/* What `dig <args>` prints (standard error included), or nullopt when dig
 * is not installed. */
std::optional<std::string>
dig(const std::string &args)
{
	if (system("command -v dig >/dev/null 2>&1") != 0)
		return std::nullopt;
	std::string cmd = "timeout 20 dig " + args + " 2>&1";
	std::unique_ptr<FILE, int (*)(FILE *)> p(popen(cmd.c_str(), "r"), pclose);
	std::string out;
	char buf[512];
	for (size_t n; p && (n = fread(buf, 1, sizeof buf, p.get())) > 0;)
		out.append(buf, n);
	return out;
}

std::string
addresses_text(const std::vector<Datagram> &got)
{
	std::string s;
	for (const auto &d : got) {
		s += "[";
		for (const auto &a : dns::answer_addresses(d.data))
			s += a + " ";
		s += "] ";
	}
	return s;
}

/* What each of `cs` receives within `window` (at most two each), all
 * waiting at once. */
std::vector<std::vector<Datagram>>
collect_each(const std::vector<std::unique_ptr<DnsClient>> &cs, std::chrono::milliseconds window)
{
	std::vector<std::vector<Datagram>> got(cs.size());
	std::vector<std::thread> threads;
	for (size_t i = 0; i < cs.size(); i++)
		threads.emplace_back([&, i] { got[i] = cs[i]->collect_until(2, window); });
	for (auto &t : threads)
		t.join();
	return got;
}

/* The number of the message-size error in the log: EMSGSIZE, or Winsock's
 * WSAEMSGSIZE. */
std::string
msgsize_code()
{
	return testing_windows_build() ? "10040" : "90";
}

class ForwarderTest : public ::testing::Test {
protected:
	void
	TearDown() override
	{
		if (fwd_)
			stop_and_expect_clean_exit(SIGTERM);
		fwd_.reset();
		if (HasFailure()) {
			std::cerr << "---- qildnsc_stdout.txt ----\n" << log()
			          << "---- standard error ----\n" << err_ << "----\n";
		}
	}

	/*
	 * Starts the forwarder on 127.0.0.1 with the fakes as its server list
	 * (in this order) and `extra` options. The port is one that was free
	 * a moment ago; when another process took it meanwhile, the bind
	 * fails and a new port is tried.
	 */
	void
	start(std::initializer_list<const FakeUpstream *> servers,
	      std::vector<std::string> extra = {})
	{
		std::string list;
		for (const auto *s : servers)
			list += (list.empty() ? "" : ",") + s->list_entry();
		start_with_list(list, std::move(extra));
	}

	void
	start_with_list(const std::string &list, std::vector<std::string> extra = {})
	{
		extra.insert(extra.begin(), {"-d", list});
		start_forwarder(dir_, extra, {config_.config_env()}, 10s, &fwd_, &err_, &port_);
	}

	/* Ends the forwarder with `sig`; it must exit with status 0 and
	 * without a sanitizer report. */
	void
	stop_and_expect_clean_exit(int sig)
	{
		ASSERT_TRUE(fwd_);
		if (testing_windows_build()) {
			/* No signals there; its exits are the shell's, tested apart. */
			fwd_.reset();
			return;
		}
		fwd_->signal(sig);
		auto st = fwd_->wait(10s);
		err_ = fwd_->stderr_text();
		ASSERT_TRUE(st) << "still running 10 s after signal " << sig;
		EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0)
		    << "wait status " << *st << " after signal " << sig;
		expect_no_sanitizer_report(err_);
		fwd_.reset();
	}

	std::string log() const { return read_log(dir_.file("qildnsc_stdout.txt")); }

	bool
	wait_log(const std::string &text, std::chrono::milliseconds limit = 5s)
	{
		return wait_for_text(dir_.file("qildnsc_stdout.txt"), text, limit);
	}

	TmpDir dir_;
	FakeHttpServer config_{HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})")};
	std::unique_ptr<Process> fwd_;
	std::string err_;
	uint16_t port_ = 0;
};

/* ---------------------------------------------------------------------- */

TEST_F(ForwarderTest, EveryServerGetsOneNewIdAndEveryClientItsOwn)
{
	FakeUpstream plain1("127.0.0.2", false, answer(a_records({"192.0.2.1", "192.0.2.2"})));
	FakeUpstream plain2("127.0.0.3", false, answer(a_records({"192.0.2.3", "192.0.2.4"})));
	FakeUpstream enc("127.0.0.4", true, answer(a_records({"192.0.2.5", "192.0.2.6"})));
	start({&plain1, &enc, &plain2});
	ASSERT_FALSE(HasFatalFailure());

	DnsClient c1(port_), c2(port_);
	struct Case {
		DnsClient *client;
		uint16_t id;
		const char *name;
	};
	/* Two clients with the same ID, names of lengths that need padding. */
	const Case cases[] = {
	    {&c1, 0x1111, "one.example"},
	    {&c2, 0x1111, "two.example.org"},
	    {&c1, 0xfffe, "three.example.net"},
	    {&c2, 0x0000, "x.test"},
	};
	std::vector<uint16_t> upstream_ids;
	size_t kept_client_id = 0;
	for (size_t i = 0; i < std::size(cases); i++) {
		const Case &c = cases[i];
		SCOPED_TRACE(c.name);
		dns::Bytes q = dns::build_query(c.id, c.name, dns::TYPE_A);
		ASSERT_TRUE(c.client->send(q));

		/* The first of the three answers; the others are late. */
		auto got = c.client->collect_until(1, 5s);
		ASSERT_EQ(got.size(), 1u) << "answers: " << addresses_text(got);
		EXPECT_EQ(dns::message_id(got[0].data), c.id);
		auto qn = dns::first_question(got[0].data);
		ASSERT_TRUE(qn);
		EXPECT_EQ(qn->name, c.name);
		EXPECT_TRUE((std::set<Addresses>{{"192.0.2.1", "192.0.2.2"}, {"192.0.2.3", "192.0.2.4"},
		    {"192.0.2.5", "192.0.2.6"}}).contains(dns::answer_addresses(got[0].data)))
		    << addresses_text(got);

		for (const FakeUpstream *f : {&plain1, &plain2, &enc})
			ASSERT_TRUE(f->wait_received(i + 1)) << f->list_entry();
		Received p1 = plain1.received()[i], p2 = plain2.received()[i],
		         e = enc.received()[i];
		uint16_t nid = dns::message_id(p1.message);
		upstream_ids.push_back(nid);
		if (nid == c.id)
			kept_client_id++;
		/* The same query under the same new ID everywhere; nothing else
		 * changed. */
		EXPECT_EQ(p1.message, dns::with_id(q, nid));
		EXPECT_EQ(p2.message, p1.message);
		EXPECT_TRUE(e.frame_ok);
		EXPECT_EQ(e.message, p1.message);
		/* The frame: length field, whole padded blocks, the message at
		 * the start of the decrypted blocks. */
		size_t padded = (q.size() + 15) / 16 * 16;
		EXPECT_EQ(e.raw.size(), 2 + padded);
		ASSERT_GE(e.raw.size(), 2u);
		EXPECT_EQ(e.raw[0], q.size() & 0xff);
		EXPECT_EQ(e.raw[1], q.size() >> 8);
		ASSERT_EQ(e.block.size(), padded);
		EXPECT_TRUE(std::equal(p1.message.begin(), p1.message.end(), e.block.begin()));
		/* Every server sees the forwarder's one upstream socket. */
		EXPECT_EQ(p1.from.sin_port, e.from.sin_port);
		EXPECT_EQ(p2.from.sin_port, e.from.sin_port);
	}
	/* IDs held by pending queries are never drawn again. */
	EXPECT_EQ(std::set<uint16_t>(upstream_ids.begin(), upstream_ids.end()).size(),
	    upstream_ids.size());
	/* A forwarder that passed the client's ID on would match all four. */
	EXPECT_LT(kept_client_id, std::size(cases));
	/* Every server was asked exactly once per query. */
	for (const FakeUpstream *f : {&plain1, &plain2, &enc})
		EXPECT_EQ(f->received_count(), std::size(cases)) << f->list_entry();
	/* Nothing more arrives: each query was answered once. */
	EXPECT_TRUE(c1.collect(500ms).empty());
	EXPECT_TRUE(c2.collect(100ms).empty());
}

TEST_F(ForwarderTest, QueriesTooLongToFrameSkipTheEncryptedServers)
{
	/* Only the short queries are answered, to keep answers in bounds. */
	Script small_only = [](const Received &r) {
		std::vector<Reply> out;
		if (r.message.size() < 100)
			out.push_back({0ms, dns::build_answer(r.message, a_records({"192.0.2.1",
			    "192.0.2.2"}))});
		return out;
	};
	FakeUpstream plain("127.0.0.2", false, small_only);
	FakeUpstream enc("127.0.0.3", true, small_only);
	start({&enc, &plain});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	dns::Bytes q496 = sized_query(0x0496, 496), q497 = sized_query(0x0497, 497);
	ASSERT_EQ(q496.size(), 496u);
	ASSERT_EQ(q497.size(), 497u);
	ASSERT_TRUE(c.send(q496));
	ASSERT_TRUE(plain.wait_received(1));
	ASSERT_TRUE(enc.wait_received(1));
	ASSERT_TRUE(c.send(q497));
	ASSERT_TRUE(plain.wait_received(2));
	/* A short query after them marks that both were handled. */
	ASSERT_TRUE(c.send(dns::build_query(0x0001, "short.test", dns::TYPE_A)));
	ASSERT_TRUE(plain.wait_received(3));
	ASSERT_TRUE(enc.wait_received(2));
	EXPECT_EQ(c.collect_until(1, 5s).size(), 1u);

	auto p = plain.received(), e = enc.received();
	ASSERT_EQ(p.size(), 3u);
	ASSERT_EQ(e.size(), 2u) << "the 497-byte query reached the encrypted server";
	EXPECT_EQ(p[0].message.size(), 496u);
	EXPECT_EQ(p[1].message.size(), 497u);
	EXPECT_EQ(e[0].raw.size(), 498u);
	EXPECT_TRUE(e[0].frame_ok);
	EXPECT_EQ(e[0].message, p[0].message);
	EXPECT_EQ(dns::first_question(e[1].message).value().name, "short.test");
	EXPECT_EQ(warnings(log(), "\\b497\\b").size(), 1u);
}

/* A burst of queries from many clients, as many as the pending ring holds
 * at once, with the same client IDs everywhere: every query is answered
 * once, to its own client. */
TEST_F(ForwarderTest, BurstFromManyClientsEachGetsExactlyItsOwnAnswers)
{
	FakeUpstream f("127.0.0.2", false, answer(a_records({"192.0.2.1", "192.0.2.2"})));
	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	const size_t clients = 25, each = 10;
	static_assert(clients * each <= PENDING_QUERIES_MAX);
	std::vector<std::unique_ptr<DnsClient>> c;
	for (size_t i = 0; i < clients; i++)
		c.push_back(std::make_unique<DnsClient>(port_));

	auto name = [](size_t client, size_t n) {
		return "c" + std::to_string(client) + "-q" + std::to_string(n) + ".burst.test";
	};
	for (size_t n = 0; n < each; n++)
		for (size_t i = 0; i < clients; i++)
			ASSERT_TRUE(c[i]->send(dns::build_query((uint16_t)(0x100 + n), name(i, n),
			    dns::TYPE_A)));
	auto deadline = Clock::now() + 10s;
	for (size_t i = 0; i < clients; i++) {
		SCOPED_TRACE("client " + std::to_string(i));
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
		    std::max(deadline - Clock::now(), Clock::duration(0)));
		auto got = c[i]->collect_until(each, left);
		std::set<std::string> names;
		for (const auto &d : got) {
			auto q = dns::first_question(d.data);
			ASSERT_TRUE(q);
			names.insert(q->name);
			/* Its own ID with its own question. */
			size_t n = dns::message_id(d.data) - 0x100u;
			EXPECT_EQ(q->name, name(i, n));
		}
		EXPECT_EQ(got.size(), each);
		EXPECT_EQ(names.size(), each);
	}
	for (size_t i = 0; i < clients; i++)
		EXPECT_TRUE(c[i]->collect(i == 0 ? 300ms : 0ms).empty()) << "client " << i;
	EXPECT_EQ(f.received_count(), clients * each);
}

TEST_F(ForwarderTest, TwoRecordAnswersGoAtOnceSingleRecordAnswersAreHeld)
{
	/* Both servers answer "both.test"; only the single-record one
	 * answers "one.test". */
	FakeUpstream two("127.0.0.2", false, [](const Received &r) {
		if (dns::first_question(r.message)->name != "both.test")
			return std::vector<Reply>{};
		return std::vector<Reply>{{0ms, dns::build_answer(r.message,
		    a_records({"192.0.2.1", "192.0.2.2"}))}};
	});
	FakeUpstream one("127.0.0.3", false, answer(a_records({"192.0.2.3"})));
	start({&one, &two});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	/* The relayed answer goes at once; the held one, whose client has
	 * had its answer by then, never. */
	auto sent = Clock::now();
	ASSERT_TRUE(c.send(dns::build_query(0x7777, "both.test", dns::TYPE_A)));
	auto got = c.collect_until(2, 1s);
	ASSERT_EQ(got.size(), 1u) << addresses_text(got);
	EXPECT_EQ(dns::answer_addresses(got[0].data), (Addresses{"192.0.2.1", "192.0.2.2"}));
	EXPECT_LT(got[0].at - sent, 2s);

	/* Alone, the held answer waits more than 0.3 s after it reached the
	 * forwarder, which was after the query left the client. */
	sent = Clock::now();
	ASSERT_TRUE(c.send(dns::build_query(0x7778, "one.test", dns::TYPE_A)));
	got = c.collect_until(1, 5s);
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(dns::answer_addresses(got[0].data), (Addresses{"192.0.2.3"}));
	EXPECT_EQ(dns::message_id(got[0].data), 0x7778);
	EXPECT_GE(got[0].at - sent, 250ms);
	EXPECT_TRUE(c.collect(500ms).empty());
}

TEST_F(ForwarderTest, LaterHeldAnswerReplacesTheEarlierOne)
{
	/* An empty answer and a single-record one, 0.1 s apart: both are
	 * held, and the second takes the place of the first. */
	FakeUpstream f("127.0.0.2", false, [](const Received &r) {
		return std::vector<Reply>{
		    {0ms, dns::build_answer(r.message, {})},
		    {100ms, dns::build_answer(r.message, a_records({"192.0.2.9"}))},
		};
	});
	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	auto sent = Clock::now();
	ASSERT_TRUE(c.send(dns::build_query(0x1234, "twice.test", dns::TYPE_A)));
	auto got = c.collect_until(2, 1500ms);
	ASSERT_EQ(got.size(), 1u) << addresses_text(got);
	EXPECT_EQ(dns::answer_addresses(got[0].data), (Addresses{"192.0.2.9"}));
	EXPECT_GE(got[0].at - sent, 350ms);
}

TEST_F(ForwarderTest, BlocklistedAnswersNeverArrive)
{
	write_file(dir_.file("blocklist.txt"), "198.51.100.66\r\n203.0.113.5\r\n");
	/* Blocked behind a passing record, blocked alone (else held), passing. */
	FakeUpstream mixed("127.0.0.2", false,
	    answer(a_records({"192.0.2.1", "203.0.113.5"})));
	FakeUpstream lone("127.0.0.3", false, answer(a_records({"198.51.100.66"})));
	FakeUpstream good("127.0.0.4", false, answer(a_records({"192.0.2.7", "192.0.2.8"})));
	start({&mixed, &lone, &good}, {"-b", "blocklist.txt"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	ASSERT_TRUE(c.send(dns::build_query(0x0bad, "blocked.test", dns::TYPE_A)));
	/* Long enough for a held answer to have come out. */
	auto got = c.collect_until(3, 1200ms);
	ASSERT_EQ(got.size(), 1u) << addresses_text(got);
	EXPECT_EQ(dns::answer_addresses(got[0].data), (Addresses{"192.0.2.7", "192.0.2.8"}));
	EXPECT_EQ(mixed.received_count(), 1u);
	EXPECT_EQ(lone.received_count(), 1u);
}

/* SIGUSR1's counters say what became of what a client sent: per verdict,
 * and per server its answers and the first answers its clients got. */
TEST_F(ForwarderTest, CountersTellWhatBecameOfEachAnswer)
{
	if (testing_windows_build())
		GTEST_SKIP() << "the Windows build takes no signals";
	write_file(dir_.file("blocklist.txt"), "192.0.2.66\n");
	FakeUpstream answering("127.0.0.2", false, [](const Received &r) {
		auto q = dns::first_question(r.message);
		std::map<std::string, std::vector<dns::Record>> by_name = {
		    {"relay.test", a_records({"192.0.2.1", "192.0.2.2"})},
		    {"hold.test", a_records({"192.0.2.3"})},
		    {"block.test", a_records({"192.0.2.66", "192.0.2.4"})},
		};
		return std::vector<Reply>{{0ms, dns::build_answer(r.message, by_name[q->name])}};
	});
	FakeUpstream silent("127.0.0.3", false, [](const Received &) {
		return std::vector<Reply>{};
	});
	start({&answering, &silent}, {"-b", "blocklist.txt"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	for (const char *name : {"relay.test", "hold.test", "block.test"})
		ASSERT_TRUE(c.send(dns::build_query(0x0c0c, name, dns::TYPE_A)));
	/* The relayed answer, then the held one 0.3 s later. */
	ASSERT_EQ(c.collect_until(3, 1500ms).size(), 2u);

	fwd_->signal(SIGUSR1);
	ASSERT_TRUE(wait_log("median latency"));
	ASSERT_TRUE(wait_log("127.0.0.3:"));
	const std::string lg = log();
	const std::string a = "127.0.0.2:" + std::to_string(answering.port());
	const std::string b = "127.0.0.3:" + std::to_string(silent.port());
	for (const std::string &line : {
	         std::string("queries over UDP: 3"), std::string("answers relayed at once: 1"),
	         std::string("answers held: 1"), std::string("held answers sent: 1"),
	         std::string("answers dropped: blocklisted address: 1"),
	         std::string("answers dropped: domestic server pointing abroad: 0"),
	         "server " + a + ": answers 3, first answers 2, median latency ",
	         "server " + b + ": answers 0, first answers 0, median latency none yet"})
		EXPECT_EQ(count_of(lg, line), 1u) << line << "\n" << lg;
}

/*
 * 127.0.0.2 is domestic under the route file, 127.0.0.3 is not (its floor
 * entry is the /32 of .2). Each server answers "abroad.test" with A
 * records abroad and "home.test" with domestic ones, the foreign one
 * 100 ms later: the client gets the first answer that is not dropped.
 */
TEST_F(ForwarderTest, DomesticServersForeignAnswersNeedRoutesAndTwoServers)
{
	write_file(dir_.file("route.txt"), "127.0.0.2/32\n198.51.100.0/24\n");
	auto by_name = [](const char *abroad, const char *home, std::chrono::milliseconds delay) {
		/* Two records each, so that no answer is held (and replaced). */
		return [=](const Received &r) {
			auto q = dns::first_question(r.message);
			std::string a = abroad, h = home;
			std::vector<dns::Record> recs = q && q->name == "abroad.test"
			    ? a_records({(a + "0").c_str(), (a + "1").c_str()})
			    : a_records({(h + "0").c_str(), (h + "1").c_str()});
			return std::vector<Reply>{{delay, dns::build_answer(r.message, recs)}};
		};
	};
	FakeUpstream domestic("127.0.0.2", false, by_name("203.0.113.2", "198.51.100.2", 0ms));
	FakeUpstream foreign("127.0.0.3", false, by_name("203.0.113.3", "198.51.100.3", 100ms));

	struct Case {
		const char *what;
		std::vector<const FakeUpstream *> servers;
		bool routes;
		Addresses abroad; /* the answer the client gets */
	};
	const Case cases[] = {
	    {"routes, two servers", {&domestic, &foreign}, true, {"203.0.113.30", "203.0.113.31"}},
	    {"no routes, two servers", {&domestic, &foreign}, false, {"203.0.113.20", "203.0.113.21"}},
	    {"routes, one domestic server", {&domestic}, true, {"203.0.113.20", "203.0.113.21"}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		bool failed_before = HasFailure();
		std::string list;
		for (const auto *s : c.servers)
			list += (list.empty() ? "" : ",") + s->list_entry();
		std::vector<std::string> extra;
		if (c.routes)
			extra = {"-c", "route.txt"};
		start_with_list(list, extra);
		ASSERT_FALSE(HasFatalFailure());
		DnsClient cl(port_);

		ASSERT_TRUE(cl.send(dns::build_query(0x00ab, "abroad.test", dns::TYPE_A)));
		auto got = cl.collect_until(2, 1200ms);
		ASSERT_EQ(got.size(), 1u) << addresses_text(got);
		EXPECT_EQ(dns::answer_addresses(got[0].data), c.abroad);

		/* A domestic server's domestic addresses pass. */
		ASSERT_TRUE(cl.send(dns::build_query(0x00ac, "home.test", dns::TYPE_A)));
		got = cl.collect_until(2, 1200ms);
		ASSERT_EQ(got.size(), 1u) << addresses_text(got);
		EXPECT_EQ(dns::answer_addresses(got[0].data), (Addresses{"198.51.100.20", "198.51.100.21"}));

		stop_and_expect_clean_exit(SIGTERM);
		if (HasFailure() && !failed_before)
			std::cerr << "---- log of \"" << c.what << "\" ----\n" << log();
	}
}

TEST_F(ForwarderTest, MalformedAndOversizedQueriesAreDroppedAndServingGoesOn)
{
	FakeUpstream f("127.0.0.2", false, answer(a_records({"192.0.2.1", "192.0.2.2"})));
	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	dns::Bytes q = dns::build_query(0x4321, "fine.test", dns::TYPE_A);
	ASSERT_TRUE(c.send(std::span<const uint8_t>(q.data(), 11)));
	EXPECT_TRUE(wait_log("QILEC_00695: Failed to parse DNS request."));
	/* One byte more than the listening buffer; 4096 exactly is parsed. */
	dns::Bytes big = q;
	big.resize(4097, 0);
	ASSERT_TRUE(c.send(big));
	EXPECT_TRUE(wait_log("QILEC_00692"));
	big.resize(4096);
	ASSERT_TRUE(c.send(big));
	EXPECT_TRUE(wait_until([&] { return count_of(log(), "QILEC_00695") == 2; }, 5s));

	ASSERT_TRUE(c.send(q));
	auto got = c.collect_until(1, 5s);
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(dns::message_id(got[0].data), 0x4321);
	EXPECT_EQ(f.received_count(), 1u) << "a dropped query reached the server";
	EXPECT_EQ(count_of(log(), "QILEC_00692"), 1u);
}

TEST_F(ForwarderTest, UpstreamDatagramsThatAnswerNothingAreDropped)
{
	/* Everything wrong first, then one good answer 0.2 s later. */
	FakeUpstream plain("127.0.0.2", false, [](const Received &r) {
		dns::Bytes good = dns::build_answer(r.message, a_records({"192.0.2.1",
		    "192.0.2.2"}));
		dns::Bytes other = dns::build_answer(
		    dns::with_id(dns::build_query(0, "other.test", dns::TYPE_A),
		        dns::message_id(r.message)),
		    a_records({"192.0.2.66", "192.0.2.67"}));
		dns::Bytes not_qr = good;
		not_qr[2] &= 0x7f;
		dns::Bytes oversized = good;
		oversized.resize(4097, 0);
		return std::vector<Reply>{
		    {0ms, other},
		    {0ms, not_qr},
		    {0ms, dns::with_id(good, dns::message_id(good) ^ 0x5a5a)},
		    {0ms, dns::a_record("10.0.0.1").rdata}, /* 4 bytes: no message */
		    {0ms, oversized},
		    {0ms, good, Reply::Via::Stranger},
		    {200ms, good},
		};
	});
	FakeUpstream enc("127.0.0.3", true, [](const Received &r) {
		dns::Bytes good = dns::build_answer(r.message, a_records({"192.0.2.3",
		    "192.0.2.4"}));
		dns::Bytes frame = FakeUpstream::frame(good);
		dns::Bytes wrong_length = frame;
		wrong_length.pop_back();
		dns::Bytes too_long(18, 0);
		too_long[0] = 600 & 0xff;
		too_long[1] = 600 >> 8;
		dns::Bytes past_block = frame;
		past_block.resize(18);
		past_block[0] = 40;
		past_block[1] = 0;
		/* Whole blocks, but more than any frame: refused as ever. */
		dns::Bytes oversized = FakeUpstream::frame(good);
		oversized.resize(2 + 16 * 40, 0);
		return std::vector<Reply>{
		    {0ms, oversized, Reply::Via::Raw},
		    {0ms, wrong_length, Reply::Via::Raw},
		    {0ms, too_long, Reply::Via::Raw},
		    {0ms, past_block, Reply::Via::Raw},
		    {0ms, good, Reply::Via::Raw}, /* plain from an encrypted server */
		    {200ms, good},
		};
	});
	start({&plain, &enc});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	ASSERT_TRUE(c.send(dns::build_query(0x6006, "right.test", dns::TYPE_A)));
	/* One good answer of the two, each 0.2 s after the junk. */
	auto got = c.collect_until(2, 1500ms);
	ASSERT_EQ(got.size(), 1u) << addresses_text(got);
	EXPECT_EQ(dns::message_id(got[0].data), 0x6006);
	EXPECT_TRUE((std::set<Addresses>{{"192.0.2.1", "192.0.2.2"}, {"192.0.2.3", "192.0.2.4"}})
	    .contains(dns::answer_addresses(got[0].data))) << addresses_text(got);

	ASSERT_TRUE(plain.wait_received(1));
	const std::string id = std::to_string(dns::message_id(plain.received()[0].message));
	const std::string lg = log();
	/* Another question, and no QR bit: both warned about under the ID. */
	EXPECT_EQ(warnings(lg, "\\bID " + id + "\\b").size(), 2u);
	EXPECT_EQ(warnings(lg, "^ *\\[WARN\\] Unexpected DNS response for ID \\d+$").size(), 1u);
	EXPECT_EQ(count_of(lg, "QILEC_00701: remote: Failed to parse DNS response."), 1u);
	/* The plain server's datagram over 4096 bytes, the encrypted one's
	 * over a frame. */
	EXPECT_EQ(count_of(lg, "QILEC_00699: remote: recvfrom(2) error: " + msgsize_code()), 2u);
	/* The stranger is named. */
	EXPECT_EQ(warnings(lg, "127\\.0\\.0\\.2:" + std::to_string(plain.stranger_port()) +
	                       "\\b").size(), 1u);
	/* The encrypted server's bad frames, and its bare answer. */
	dns::Bytes model = dns::build_answer(dns::build_query(0, "right.test", dns::TYPE_A),
	    a_records({"192.0.2.3", "192.0.2.4"}));
	for (size_t n : {FakeUpstream::frame(model).size() - 1, model.size()}) {
		EXPECT_EQ(count_of(lg, "[WARN] Wrong length for encryptioin block " +
		                       std::to_string(n) + "."), 1u) << n;
	}
	EXPECT_EQ(count_of(lg, "[WARN] Too long length for encryptioin block 18 600."), 1u);
	EXPECT_EQ(warnings(lg, "\\b40\\b").size(), 1u);
}

TEST_F(ForwarderTest, JunkFloodOnTheUpstreamSocketsStarvesNoGoodQuestion)
{
	/* Every good answer comes after ten with wrong IDs from the server's
	 * own address and port; a stranger floods the upstream sockets. */
	FakeUpstream f("127.0.0.2", false, [](const Received &r) {
		dns::Bytes good = dns::build_answer(r.message, a_records({"192.0.2.1",
		    "192.0.2.2"}));
		std::vector<Reply> out;
		for (uint16_t k = 1; k <= 10; k++)
			out.push_back({0ms, dns::with_id(good, (uint16_t)(dns::message_id(good) ^ k))});
		out.push_back({0ms, good});
		return out;
	});
	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	/* The upstream sockets, as the server sees them: queries leave from
	 * more than one port. */
	for (uint16_t i = 0; i < 40; i++)
		ASSERT_TRUE(c.send(dns::build_query(i, "warm" + std::to_string(i) + ".test",
		    dns::TYPE_A)));
	ASSERT_EQ(c.collect_until(40, 5s).size(), 40u) << log();
	std::set<uint16_t> ports;
	for (const auto &r : f.received())
		ports.insert(ntohs(r.from.sin_port));
	EXPECT_GT(ports.size(), 1u);

	std::atomic<bool> stop{false};
	std::atomic<size_t> junk{0};
	std::thread stranger([&] {
		UdpSocket s("127.0.0.5");
		const dns::Bytes bytes(12, 0x5a);
		/* Some 16,000 a second at most: a flood, but not one that takes
		 * the forwarder's share of a loaded machine. */
		for (auto until = Clock::now() + 30s; !stop && Clock::now() < until;) {
			for (int k = 0; k < 2; k++)
				for (uint16_t p : ports)
					junk += s.send_to("127.0.0.1", p, bytes) ? 1 : 0;
			std::this_thread::sleep_for(1ms);
		}
	});
	const size_t before = log().size();
	const int n = 300;
	std::set<uint16_t> asked, answered;
	for (int i = 0; i < n; i++) {
		uint16_t id = (uint16_t)(0x1000 + i);
		asked.insert(id);
		ASSERT_TRUE(c.send(dns::build_query(id, "q" + std::to_string(i) + ".test",
		    dns::TYPE_A)));
		std::this_thread::sleep_for(3ms); /* a steady rate, not a burst */
	}
	for (const auto &d : c.collect_until(n, 10s))
		answered.insert(dns::message_id(d.data));
	stop = true;
	stranger.join();

	EXPECT_GT(junk.load(), 500u);
	EXPECT_EQ(answered, asked) << answered.size() << " of " << n << " answered";
	/* Each kind of line at most a few a second, then one summary. */
	EXPECT_TRUE(wait_log("[WARN] Dropped a datagram: not an upstream server: "));
	const std::string lg = log();
	EXPECT_LT(lg.size() - before, 16384u) << lg.substr(before);
}

TEST_F(ForwarderTest, DigGetsItsAnswer)
{
	FakeUpstream f("127.0.0.2", false, answer(a_records({"192.0.2.44", "192.0.2.45"})));
	start({&f});
	ASSERT_FALSE(HasFatalFailure());

	auto got = dig("@127.0.0.1 -p " + std::to_string(port_) +
	    " www.example.test A +tries=1 +time=3");
	if (!got)
		GTEST_SKIP() << "dig is not installed (package bind9-dnsutils); skipping";
	const std::string &out = *got;
	EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
	EXPECT_NE(out.find("192.0.2.44"), std::string::npos) << out;
	EXPECT_NE(out.find("192.0.2.45"), std::string::npos) << out;
	EXPECT_EQ(out.find("mismatch"), std::string::npos) << out;
	ASSERT_TRUE(f.wait_received(1));
	EXPECT_EQ(dns::first_question(f.received()[0].message).value().name, "www.example.test");
}

/*
 * Every signal from outside whose default would end the process plays
 * "Exit" (status 0, threads joined, no sanitizer report), also at once
 * after start-up and under pipelined TCP load; SIGUSR1 writes the
 * statistics and SIGPIPE is ignored, and the forwarder goes on serving.
 */
TEST_F(ForwarderTest, ExitSignalsEndWithStatusZero)
{
	if (testing_windows_build())
		GTEST_SKIP() << "the Windows build ends through its icon's menu, not signals";
	FakeUpstream f("127.0.0.2", false, answer(a_records({"192.0.2.1", "192.0.2.2"})));
	FakeTcpUpstream tcp("127.0.0.2", answer(a_records({"192.0.2.1", "192.0.2.2"})), f.port());
	enum Load { Idle, Asked, TcpLoad };
	const struct {
		int sig;
		Load load;
	} rows[] = {
	    /* SIGHUP: the terminal it was started from was closed. */
	    {SIGINT, Asked}, {SIGTERM, Asked}, {SIGHUP, Asked},
	    /* Right after "Listening on": taken from the first line of main. */
	    {SIGTERM, Idle}, {SIGQUIT, Idle}, {SIGUSR2, Idle}, {SIGALRM, Idle},
	    {SIGPWR, Idle}, {SIGRTMIN + 2, Idle},
	    /* Threads still at work when the process ends. */
	    {SIGTERM, TcpLoad}, {SIGINT, TcpLoad},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(std::string(strsignal(row.sig)) + " load " + std::to_string(row.load));
		start({&f});
		ASSERT_FALSE(HasFatalFailure());
		std::atomic<bool> done{false};
		std::thread load;
		if (row.load == Asked) {
			DnsClient c(port_);
			ASSERT_TRUE(c.send(dns::build_query(1, "bye.test", dns::TYPE_A)));
			ASSERT_EQ(c.collect_until(1, 5s).size(), 1u);
		} else if (row.load == TcpLoad) {
			load = std::thread([&, port = port_] {
				for (int i = 0; i < 200 && !done; i++) {
					TcpClient t("127.0.0.1", port);
					for (uint16_t id = 0; id < 16 && t.connected(); id++)
						(void)t.send_message(dns::build_query(id, "busy.test", dns::TYPE_A));
				}
			});
			std::this_thread::sleep_for(300ms);
		}
		stop_and_expect_clean_exit(row.sig);
		done = true;
		if (load.joinable())
			load.join();
	}

	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	ASSERT_TRUE(c.send(dns::build_query(2, "count.test", dns::TYPE_A)));
	ASSERT_EQ(c.collect_until(1, 5s).size(), 1u);
	for (int sig : {SIGUSR1, SIGPIPE})
		fwd_->signal(sig);
	EXPECT_TRUE(wait_log("queries over UDP: 1"));
	ASSERT_TRUE(c.send(dns::build_query(3, "still.test", dns::TYPE_A)));
	EXPECT_EQ(c.collect_until(1, 5s).size(), 1u) << "not serving after SIGUSR1 and SIGPIPE";
	stop_and_expect_clean_exit(SIGTERM);
}

TEST_F(ForwarderTest, SecondInstanceOnTheSamePortFailsToStart)
{
	FakeUpstream f("127.0.0.2", false);
	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	TmpDir other;
	RunResult r = run_qildnsc({"-w", "-l", "127.0.0.1", "-p", std::to_string(port_), "-d",
	    f.list_entry()}, other.path(), 30s, {config_.config_env()});
	EXPECT_EQ(r.exit_code, 1);
	/* EADDRINUSE, or Winsock's WSAEADDRINUSE. */
	std::string code = testing_windows_build() ? "10048" : "98";
	std::string why = "QILEC_00691: bind(2) for 127.0.0.1:" + std::to_string(port_) +
	    " error: " + code + (testing_windows_build() ? " Unknown " + code :
	    std::string(" Address already in use"));
	/* Winsock's numbers have no text of the C library's to add. */
	std::string hint = testing_windows_build() ? "" :
	    "qildnsc: hint: another program uses 127.0.0.1:" + std::to_string(port_) +
	    "; choose another with -l or -p.\n";
	EXPECT_EQ(r.err, "qildnsc: " + why + " (see qildnsc_stdout.txt)\n" + hint);
	/* The first one still has its queries. */
	DnsClient c(port_);
	ASSERT_TRUE(c.send(dns::build_query(7, "still.test", dns::TYPE_A)));
	EXPECT_TRUE(f.wait_received(1));
}

/* Diversion mode (no -w) needs the driver's library, which no test machine
 * has: start-up ends with status 1 and the driver's message. Linux
 * diversion is tested in diversion_test. */
TEST_F(ForwarderTest, DiversionWithoutTheDriverEndsStartUp)
{
	if (!testing_windows_build())
		GTEST_SKIP() << "the Windows build's driver library; see diversion_test on Linux";
	RunResult r = run_qildnsc({"-d", "127.0.0.2:5300"}, dir_.path(), 30s,
	    {config_.config_env()});
	EXPECT_EQ(r.exit_code, 1) << r.err;
	EXPECT_EQ(count_of(log(), "Failed to open the WinDivert device (126)"), 1u) << log();
}

/* A TLS server is checked like any other entry where the build speaks
 * DNS over TLS (dot_test runs it); the Windows build refuses it. */
TEST_F(ForwarderTest, TlsServersStartOnlyWhereTheBuildHasTls)
{
	RunResult r = run_qildnsc({"-t", "-w", "-d", "tls://127.0.0.1#dot.test"}, dir_.path(),
	    30s, {config_.config_env()});
	if (!testing_windows_build()) {
		EXPECT_EQ(r.exit_code, 0) << r.err;
		return;
	}
	EXPECT_EQ(r.exit_code, 1) << r.err;
	/* A check writes no log: its reason is on standard error. */
	EXPECT_EQ(count_of(r.err, "QILEC_01020: DNS over TLS server dot.test refused: this build "
	                          "has no DNS over TLS (no TLS library in the Windows build)"), 1u)
	    << r.err;
}

/* ---------------------------------------------------------------------- */
/* DNS over TCP */

/* The TCP tests wait for the TCP listener, which comes up just after the
 * datagram one that start() waits for. */

/* A query's reply over TCP, and how long it took. */
struct TcpReply {
	std::optional<dns::Bytes> msg;
	std::chrono::milliseconds took{0};
};

TcpReply
ask_tcp(uint16_t port, uint16_t id, const std::string &name, uint16_t qtype = dns::TYPE_A,
        const std::string &from = "")
{
	TcpClient c("127.0.0.1", port, 5s, from);
	auto t0 = Clock::now();
	if (!c.send_message(dns::build_query(id, name, qtype)))
		return {};
	auto msg = c.receive(10s);
	return {msg, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0)};
}

/* Answers each question name as `rows` say (no entry: no answer). */
Script
by_name(std::map<std::string, std::function<std::vector<Reply>(const Received &)>> rows)
{
	return [rows = std::move(rows)](const Received &r) {
		auto q = dns::first_question(r.message);
		auto it = q ? rows.find(q->name) : rows.end();
		return it == rows.end() ? std::vector<Reply>{} : it->second(r);
	};
}

/*
 * Each answer over TCP is judged like a datagram, and the client gets one
 * reply: the first relayed answer; else the held one after the hold delay,
 * or as soon as every server is done; else SERVFAIL.
 */
/* Answers with an empty answer section after `delay`, changed by `edit`. */
Script
edited(std::function<void(dns::Bytes &)> edit, std::chrono::milliseconds delay = 0ms)
{
	return [=](const Received &r) {
		dns::Bytes a = dns::build_answer(r.message, {});
		edit(a);
		return std::vector<Reply>{{delay, a}};
	};
}

const uint16_t RCODE_SERVFAIL = 2, RCODE_NOTIMP = 4, RCODE_REFUSED = 5;

void
set_rcode(dns::Bytes &a, uint16_t rcode)
{
	a[3] = static_cast<uint8_t>((a[3] & 0xf0) | rcode);
}

/* The answer `a` cut to its header, without its question, with `rcode`. */
void
make_bare(dns::Bytes &a, uint16_t rcode)
{
	set_rcode(a, rcode);
	a.resize(dns::HEADER_SIZE);
	a[4] = a[5] = 0;
}

/*
 * Each answer over TCP is judged like a datagram, and the client gets one
 * reply: the first relayed answer, or a truncated one; else the held one
 * after the hold delay, or as soon as every server is done (a real answer
 * replacing the one before it, a server's failure never replacing a real
 * one, a failure without a question held, another bare answer dropped);
 * else SERVFAIL.
 */
TEST_F(ForwarderTest, TcpQueriesGetOneJudgedReply)
{
	write_file(dir_.file("blocklist.txt"), "203.0.113.5\n");
	auto wrong_id = [](const Received &r) {
		auto a = dns::build_answer(r.message, a_records({"192.0.2.9"}));
		return std::vector<Reply>{{0ms, dns::with_id(a, dns::message_id(a) ^ 1)}};
	};
	FakeTcpUpstream s1("127.0.0.2", by_name({
	    {"relay.test", answer(a_records({"192.0.2.1", "192.0.2.2"}))},
	    {"held.test", answer(a_records({"192.0.2.3"}))},
	    {"held-all-done.test", answer(a_records({"192.0.2.3"}))},
	    {"dropped.test", answer(a_records({"203.0.113.5"}))},
	    {"held-then-refused.test", answer(a_records({"192.0.2.20"}))},
	    {"held-then-newer.test", answer(a_records({"192.0.2.21"}))},
	    {"held-then-nxdomain.test", answer(a_records({"192.0.2.23"}))},
	    {"notimp.test", edited([](dns::Bytes &a) { make_bare(a, RCODE_NOTIMP); })},
	    {"bare-refused-then-one.test", edited([](dns::Bytes &a) { make_bare(a, RCODE_REFUSED); })},
	    {"bare-nxdomain.test", edited([](dns::Bytes &a) { make_bare(a, 3); })},
	    {"truncated.test", edited([](dns::Bytes &a) { a[2] |= dns::FLAG_TC >> 8; })},
	}));
	FakeTcpUpstream s2("127.0.0.3", by_name({
	    {"relay.test", answer(a_records({"192.0.2.4"}), 2s)},
	    {"held-all-done.test", wrong_id},
	    {"dropped.test", answer(a_records({"203.0.113.5"}))},
	    {"held-then-refused.test", edited([](dns::Bytes &a) { set_rcode(a, RCODE_REFUSED); },
	         50ms)},
	    {"held-then-newer.test", answer(a_records({"192.0.2.22"}), 50ms)},
	    {"held-then-nxdomain.test", edited([](dns::Bytes &a) { set_rcode(a, 3); }, 50ms)},
	    {"bare-refused-then-one.test", answer(a_records({"192.0.2.24"}), 50ms)},
	    {"bare-nxdomain.test", answer(a_records({"192.0.2.25"}), 50ms)},
	    /* Later, and held: it would have replaced a held truncated one. */
	    {"truncated.test", answer({}, 150ms)},
	}));
	start_with_list("127.0.0.2:" + std::to_string(s1.port()) + ",127.0.0.3:" +
	    std::to_string(s2.port()), {"-b", "blocklist.txt"});
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";

	struct Row {
		const char *name;
		Addresses addresses;
		uint16_t bits; /* TC and RCODE */
		std::chrono::milliseconds at_least, at_most;
	} rows[] = {
	    {"relay.test", {"192.0.2.1", "192.0.2.2"}, 0, 0ms, 250ms},
	    {"held.test", {"192.0.2.3"}, 0, 300ms, 1500ms},
	    {"held-all-done.test", {"192.0.2.3"}, 0, 0ms, 250ms},
	    {"dropped.test", {}, RCODE_SERVFAIL, 0ms, 250ms},
	    {"silent.test", {}, RCODE_SERVFAIL, 3500ms, 6000ms},
	    {"held-then-refused.test", {"192.0.2.20"}, 0, 0ms, 1500ms},
	    {"held-then-newer.test", {"192.0.2.22"}, 0, 0ms, 1500ms},
	    {"held-then-nxdomain.test", {}, 3, 0ms, 1500ms},
	    {"notimp.test", {}, RCODE_NOTIMP, 300ms, 1500ms},
	    {"bare-refused-then-one.test", {"192.0.2.24"}, 0, 0ms, 1500ms},
	    {"bare-nxdomain.test", {"192.0.2.25"}, 0, 0ms, 1500ms},
	    {"truncated.test", {}, dns::FLAG_TC, 0ms, 1500ms},
	};
	/* All at once, each from an address of its own: the slowest row sets
	 * the pace. */
	std::vector<TcpReply> got(std::size(rows));
	std::vector<std::thread> threads;
	for (size_t i = 0; i < std::size(rows); i++)
		threads.emplace_back([&, i] {
			got[i] = ask_tcp(port_, (uint16_t)(0x100 + i), rows[i].name, dns::TYPE_A,
			    "127.0.0." + std::to_string(10 + i));
		});
	for (auto &t : threads)
		t.join();
	for (size_t i = 0; i < std::size(rows); i++) {
		const Row &row = rows[i];
		SCOPED_TRACE(row.name);
		ASSERT_TRUE(got[i].msg) << "no reply";
		const dns::Bytes &m = *got[i].msg;
		EXPECT_EQ(dns::message_id(m), 0x100 + i);
		auto q = dns::first_question(m);
		EXPECT_EQ(q ? q->name : "(none)", row.bits == RCODE_NOTIMP ? "(none)" : row.name);
		EXPECT_EQ(dns::message_flags(m) & (dns::FLAG_TC | 0xf), row.bits);
		EXPECT_EQ(dns::answer_addresses(m), row.addresses);
		EXPECT_GE(got[i].took, row.at_least);
		EXPECT_LE(got[i].took, row.at_most);
	}
	EXPECT_EQ(count_of(log(), "QILEC_00826"), 2u) << "the wrong ID, the bare NXDOMAIN";
	EXPECT_EQ(count_of(log(), "QILEC_00828"), 1u) << "the silent servers";
}

/*
 * Queries over TCP go to the encrypted servers too, in framed datagrams.
 * 127.0.0.2, plain, is domestic and points abroad: dropped, so the
 * encrypted server's answer is the reply, and only one from its own
 * address and port with the query's ID and question counts. A truncated
 * datagram waits for the plain server's whole answer; a query too long
 * for a frame goes to the plain server alone.
 */
TEST_F(ForwarderTest, TcpQueriesGoToTheEncryptedServersToo)
{
	write_file(dir_.file("route.txt"), "127.0.0.2/32\n198.51.100.0/24\n");
	FakeTcpUpstream plain("127.0.0.2", by_name({
	    {"abroad.test", answer(a_records({"203.0.113.1", "203.0.113.2"}))},
	    {"big.test", answer({dns::txt_record(3000)}, 100ms)},
	    {"long.test", answer(a_records({"198.51.100.1", "198.51.100.2"}))},
	}));
	FakeUpstream enc("127.0.0.3", true, by_name({
	    {"abroad.test", [](const Received &r) {
		     auto good = dns::build_answer(r.message, a_records({"203.0.113.7", "203.0.113.8"}));
		     auto bad = dns::build_answer(r.message, a_records({"192.0.2.66", "192.0.2.67"}));
		     auto other = dns::build_answer(dns::with_id(dns::build_query(0, "other.test",
		         dns::TYPE_A), dns::message_id(r.message)), a_records({"192.0.2.66", "192.0.2.67"}));
		     return std::vector<Reply>{
		         {0ms, bad, Reply::Via::Stranger},
		         {0ms, bad, Reply::Via::Raw},
		         {0ms, dns::with_id(bad, dns::message_id(bad) ^ 1)},
		         {0ms, other},
		         {100ms, good},
		     };
	     }},
	    {"big.test", edited([](dns::Bytes &a) { a[2] |= dns::FLAG_TC >> 8; })},
	}));
	start_with_list(enc.list_entry() + ",127.0.0.2:" + std::to_string(plain.port()),
	    {"-c", "route.txt"});
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";

	TcpReply r = ask_tcp(port_, 0x0a0a, "abroad.test");
	ASSERT_TRUE(r.msg);
	EXPECT_EQ(dns::message_id(*r.msg), 0x0a0a);
	EXPECT_EQ(dns::answer_addresses(*r.msg), (Addresses{"203.0.113.7", "203.0.113.8"}));

	r = ask_tcp(port_, 0x0b0b, "big.test", dns::TYPE_TXT);
	ASSERT_TRUE(r.msg);
	EXPECT_EQ(dns::message_flags(*r.msg) & dns::FLAG_TC, 0);
	EXPECT_EQ(dns::message_ancount(*r.msg), 1);

	TcpClient c("127.0.0.1", port_);
	ASSERT_TRUE(c.send_message(sized_query(0x0c0c, 497)));
	auto m = c.receive(5s);
	ASSERT_TRUE(m);
	EXPECT_EQ(dns::answer_addresses(*m), (Addresses{"198.51.100.1", "198.51.100.2"}));
	EXPECT_EQ(enc.received_count(), 2u) << "the 497-byte query reached the encrypted server";

	const std::string lg = log();
	EXPECT_EQ(count_of(lg, "QILEC_00836"), 1u) << "the stranger";
	EXPECT_EQ(count_of(lg, "QILEC_00837"), 3u) << "no frame, wrong ID, other question";
	EXPECT_EQ(count_of(lg, "QILEC_00839: Query over TCP of 497 bytes"), 1u);
}

/* With encrypted servers alone, queries over TCP are answered through
 * them; one too long for a frame, which no server can take, gets SERVFAIL
 * at once. */
TEST_F(ForwarderTest, TcpWithEncryptedServersOnly)
{
	FakeUpstream enc("127.0.0.2", true, answer(a_records({"192.0.2.1", "192.0.2.2"})));
	start({&enc});
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";
	for (uint16_t id : {1, 2}) {
		TcpReply r = ask_tcp(port_, id, "enc.test");
		ASSERT_TRUE(r.msg);
		EXPECT_EQ(dns::message_id(*r.msg), id);
		EXPECT_EQ(dns::answer_addresses(*r.msg), (Addresses{"192.0.2.1", "192.0.2.2"}));
	}
	TcpClient c("127.0.0.1", port_);
	ASSERT_TRUE(c.send_message(sized_query(3, 497)));
	auto m = c.receive(1s);
	ASSERT_TRUE(m);
	EXPECT_EQ(dns::message_flags(*m) & 0xf, RCODE_SERVFAIL);
	EXPECT_EQ(enc.received_count(), 2u);
	EXPECT_EQ(count_of(log(), "QILEC_00827"), 1u);
}

/* A 3,000-byte answer: truncated to the client over classic UDP, whole
 * over TCP. */
TEST_F(ForwarderTest, LargeAnswersComeWholeOverTcp)
{
	auto big = [](const Received &r) {
		return dns::build_answer(r.message, {dns::txt_record(3000)});
	};
	FakeUpstream udp("127.0.0.2", false, [&](const Received &r) {
		return std::vector<Reply>{{0ms, dns::fit_datagram(r.message, big(r))}};
	});
	FakeTcpUpstream tcp("127.0.0.2", [&](const Received &r) {
		return std::vector<Reply>{{0ms, big(r)}};
	}, udp.port());
	start({&udp});
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";

	TcpReply r = ask_tcp(port_, 0x3000, "big.test", dns::TYPE_TXT);
	ASSERT_TRUE(r.msg);
	ASSERT_TRUE(tcp.received_count() == 1);
	EXPECT_EQ(*r.msg, big(tcp.received()[0]));

	std::string at = "@127.0.0.1 -p " + std::to_string(port_) + " big.test TXT +tries=1 +time=3";
	auto out = dig(at + " +tcp");
	if (!out)
		GTEST_SKIP() << "dig is not installed (package bind9-dnsutils); skipping";
	EXPECT_NE(out->find("status: NOERROR"), std::string::npos) << *out;
	EXPECT_NE(out->find("ANSWER: 1,"), std::string::npos) << *out;
	out = dig(at + " +ignore +notcp +bufsize=0");
	EXPECT_NE(out->find("flags: qr tc"), std::string::npos) << *out;
	EXPECT_NE(out->find("ANSWER: 0,"), std::string::npos) << *out;
}

/*
 * 64 clients, all from 127.0.0.1 as every local application's connections
 * come (the loopback is not limited per address), pipeline 100 queries
 * each and get every answer. While every one has a query in flight, a 65th
 * is refused; once they are idle, a newcomer takes the oldest one's place.
 */
TEST_F(ForwarderTest, SixtyFourTcpClientsPipelineAndANewcomerTakesTheOldestIdlePlace)
{
	FakeTcpUpstream f("127.0.0.2", [](const Received &r) {
		auto q = dns::first_question(r.message);
		auto delay = q && q->name.starts_with("slow.") ? 1500ms : 0ms;
		return std::vector<Reply>{{delay, dns::build_answer(r.message,
		    a_records({"192.0.2.1", "192.0.2.2"}))}};
	});
	start_with_list("127.0.0.2:" + std::to_string(f.port()));
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";

	const size_t clients = 64, queries = 100;
	std::vector<std::unique_ptr<TcpClient>> cs;
	for (size_t c = 0; c < clients; c++) {
		cs.push_back(std::make_unique<TcpClient>("127.0.0.1", port_, 5s));
		ASSERT_TRUE(cs.back()->connected()) << c;
	}
	std::vector<size_t> answered(clients);
	std::vector<std::thread> threads;
	for (size_t c = 0; c < clients; c++) {
		threads.emplace_back([&, c] {
			dns::Bytes all;
			for (size_t i = 0; i < queries; i++) {
				auto q = tcp_frame(dns::build_query((uint16_t)i,
				    "q" + std::to_string(i) + ".c" + std::to_string(c) + ".test", dns::TYPE_A));
				all.insert(all.end(), q.begin(), q.end());
			}
			if (!cs[c]->send_raw(all))
				return;
			std::set<uint16_t> ids;
			for (size_t i = 0; i < queries; i++) {
				auto m = cs[c]->receive(20s);
				if (!m)
					break;
				auto q = dns::first_question(*m);
				uint16_t id = dns::message_id(*m);
				if (q && q->name == "q" + std::to_string(id) + ".c" + std::to_string(c) + ".test" &&
				    dns::answer_addresses(*m).size() == 2)
					ids.insert(id);
			}
			answered[c] = ids.size();
		});
	}
	for (auto &t : threads)
		t.join();
	for (size_t c = 0; c < clients; c++)
		EXPECT_EQ(answered[c], queries) << "client " << c;

	for (size_t c = 0; c < clients; c++)
		ASSERT_TRUE(cs[c]->send_message(dns::build_query(0x5000, "slow.test", dns::TYPE_A)));
	ASSERT_TRUE(wait_until([&] { return f.received_count() == clients * (queries + 1); }, 5s));
	TcpClient extra("127.0.0.1", port_);
	EXPECT_TRUE(extra.closed_by_peer(5s)) << "the 65th connection";
	EXPECT_TRUE(wait_log("QILEC_00823: Too many TCP clients (64)"));

	for (size_t c = 0; c < clients; c++)
		EXPECT_TRUE(cs[c]->receive(5s)) << "the slow answer of client " << c;
	TcpReply r = ask_tcp(port_, 7, "after.test");
	ASSERT_TRUE(r.msg);
	EXPECT_EQ(dns::answer_addresses(*r.msg).size(), 2u);
	EXPECT_TRUE(cs[0]->closed_by_peer(1s));
	EXPECT_FALSE(cs[1]->closed_by_peer(0ms));
	EXPECT_TRUE(wait_log("QILEC_00833: TCP clients full (64): idle connection from 127.0.0.1:"));
}

/* Connections that stall or send what is no DNS message are closed; the
 * server goes on. */
TEST_F(ForwarderTest, StalledAndBrokenTcpConnectionsAreClosed)
{
	FakeTcpUpstream f("127.0.0.2", answer(a_records({"192.0.2.1", "192.0.2.2"})));
	start_with_list("127.0.0.2:" + std::to_string(f.port()));
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";

	struct Row {
		const char *name;
		dns::Bytes bytes;
		bool at_once; /* else after the idle time-out */
	};
	dns::Bytes huge{0xff, 0xff};
	huge.insert(huge.end(), 10, 0);
	const Row rows[] = {
	    {"silent", {}, false},
	    {"half a length", {0x00}, false},
	    {"65535 announced, 10 sent", huge, false},
	    {"empty message", {0x00, 0x00}, true},
	    {"shorter than a header", {0x00, 0x05, 1, 2, 3, 4, 5}, true},
	};
	std::vector<std::unique_ptr<TcpClient>> cs;
	for (const Row &row : rows) {
		cs.push_back(std::make_unique<TcpClient>("127.0.0.1", port_));
		ASSERT_TRUE(cs.back()->connected());
		ASSERT_TRUE(cs.back()->send_raw(row.bytes)) << row.name;
	}
	for (bool at_once : {true, false}) {
		for (size_t i = 0; i < std::size(rows); i++) {
			if (rows[i].at_once != at_once)
				continue;
			EXPECT_TRUE(cs[i]->closed_by_peer(at_once ? 2s : 15s)) << rows[i].name;
		}
	}
	EXPECT_EQ(count_of(log(), "QILEC_00824"), 2u);
	TcpReply r = ask_tcp(port_, 9, "still.test");
	ASSERT_TRUE(r.msg);
	EXPECT_EQ(dns::answer_addresses(*r.msg).size(), 2u);
}

/* ---------------------------------------------------------------------- */
/* Datagrams of EDNS size */

/* An answer to `q` of exactly `total` bytes: one TXT record filling it. */
dns::Bytes
sized_answer(std::span<const uint8_t> q, size_t total)
{
	dns::Bytes a = dns::build_answer(q, {dns::txt_record(1)});
	return dns::build_answer(q, {dns::txt_record(1 + total - a.size())});
}

TEST_F(ForwarderTest, PlainDatagramsUpToTheEdnsSizeComeWhole)
{
	/* Names give sizes: "s<bytes>.test" is answered with that many bytes,
	 * as long as the query's EDNS size allows (else truncated). */
	auto size_of = [](const Received &r) {
		auto q = dns::first_question(r.message);
		return q ? std::stoul(q->name.substr(1)) : 0ul;
	};
	FakeUpstream udp("127.0.0.2", false, [&](const Received &r) {
		return std::vector<Reply>{{0ms, dns::fit_datagram(r.message,
		    sized_answer(r.message, size_of(r)))}};
	});
	FakeTcpUpstream tcp("127.0.0.2", [&](const Received &r) {
		return std::vector<Reply>{{0ms, sized_answer(r.message, size_of(r))}};
	}, udp.port());
	start({&udp});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	const struct {
		size_t size;
		bool whole;
	} rows[] = {{513, true}, {3000, true}, {4096, true}, {4097, false}};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.size);
		std::string name = "s" + std::to_string(row.size) + ".test";
		dns::Bytes q = dns::with_edns(dns::build_query(0x4096, name, dns::TYPE_TXT), 65535);
		ASSERT_TRUE(c.send(q));
		auto got = c.receive(2s);
		ASSERT_TRUE(got);
		if (!row.whole) {
			/* The client's 65535 was asked upstream as the 4096 we
			 * take: the server truncated, and the client can retry
			 * over TCP instead of waiting for nothing. */
			EXPECT_TRUE(dns::message_flags(got->data) & 0x0200) << "no TC";
			EXPECT_EQ(dns::message_ancount(got->data), 0);
			continue;
		}
		EXPECT_EQ(got->data.size(), row.size);
		EXPECT_EQ(dns::answer_records(got->data).value().size(), 1u);
	}

	std::string at = "@127.0.0.1 -p " + std::to_string(port_) + " s3000.test TXT +tries=1 +time=3";
	auto out = dig(at + " +bufsize=4096 +notcp");
	if (!out)
		GTEST_SKIP() << "dig is not installed (package bind9-dnsutils); skipping";
	EXPECT_NE(out->find("flags: qr rd ra;"), std::string::npos) << *out;
	EXPECT_NE(out->find("ANSWER: 1,"), std::string::npos) << *out;
	EXPECT_EQ(tcp.received_count(), 0u) << "dig had to ask over TCP";
}

/* Answers as the client can take them over UDP: a server that ignores the
 * client's size is cut down to the truncated form, and the size asked
 * upstream never exceeds what we receive. */
TEST_F(ForwarderTest, AnswersLargerThanTheClientTakesComeTruncated)
{
	std::atomic<int> edns_seen{-1};
	FakeUpstream f("127.0.0.2", false, [&](const Received &r) {
		auto q = dns::first_question(r.message);
		edns_seen = dns::edns_udp_size(r.message).value_or(0);
		/* Whole, whatever the query allows. */
		return std::vector<Reply>{
		    {0ms, sized_answer(r.message, q ? std::stoul(q->name.substr(1)) : 0ul)}};
	});
	start({&f});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	const struct {
		uint16_t edns; /* 0: no EDNS record */
		size_t size;
		bool whole;
		int upstream_edns;
	} rows[] = {
	    {0, 512, true, 0},       {0, 600, false, 0},         {1232, 1232, true, 1232},
	    {1232, 1500, false, 1232}, {8192, 3000, true, 4096}, {100, 600, false, 100},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(std::to_string(row.edns) + "/" + std::to_string(row.size));
		dns::Bytes q = dns::build_query(0x5150, "s" + std::to_string(row.size) + ".test",
		                                dns::TYPE_TXT);
		if (row.edns != 0)
			q = dns::with_edns(q, row.edns);
		ASSERT_TRUE(c.send(q));
		auto got = c.receive(2s);
		ASSERT_TRUE(got);
		EXPECT_EQ(edns_seen.load(), row.upstream_edns);
		if (row.whole) {
			EXPECT_EQ(got->data.size(), row.size);
			continue;
		}
		EXPECT_LE(got->data.size(), 512u);
		EXPECT_TRUE(dns::message_flags(got->data) & 0x0200) << "no TC";
		EXPECT_EQ(dns::message_ancount(got->data), 0);
		EXPECT_EQ(dns::first_question(got->data).value().name, "s" + std::to_string(row.size) + ".test");
	}
}

/*
 * A truncated answer goes at once (its records come over TCP). A server's
 * failure without a question (a query it could not read or would not
 * take) is held like an empty answer, for a real one to overtake; a bare
 * NOERROR or NXDOMAIN answers no question and is dropped, or anyone on the
 * path could end a query with twelve bytes. Each query gets one answer.
 */
TEST_F(ForwarderTest, TruncatedAnswersGoAtOnceBareFailuresAreHeldOtherBareAnswersDropped)
{
	const int TRUNCATED = -1;
	const struct Row {
		const char *name;
		int quick;   /* the RCODE of the quick server's bare answer, or TRUNCATED */
		int slow;    /* the slow server's: 2 addresses after 150 ms, 1 after 50 ms, 0 none */
		bool answered;
		uint16_t bits; /* TC and RCODE of the answer */
		uint16_t qdcount;
		Addresses addresses;
		bool held;
	} rows[] = {
	    {"tc.test", TRUNCATED, 2, true, dns::FLAG_TC, 1, {}, false},
	    {"formerr.test", 1, 2, true, 0, 1, {"192.0.2.1", "192.0.2.2"}, false},
	    {"notimp.test", RCODE_NOTIMP, 2, true, 0, 1, {"192.0.2.1", "192.0.2.2"}, false},
	    {"refused.test", RCODE_REFUSED, 1, true, 0, 1, {"192.0.2.3"}, true},
	    {"servfail.test", RCODE_SERVFAIL, 0, true, RCODE_SERVFAIL, 0, {}, true},
	    {"nxdomain.test", 3, 0, false, 0, 0, {}, false},
	    {"noerror.test", 0, 0, false, 0, 0, {}, false},
	};
	auto row_of = [&](const Received &r) -> const Row & {
		auto q = dns::first_question(r.message);
		for (const Row &row : rows)
			if (q && q->name == row.name)
				return row;
		throw std::runtime_error("no row");
	};
	FakeUpstream quick("127.0.0.2", false, [&](const Received &r) {
		const Row &row = row_of(r);
		dns::Bytes a = dns::build_answer(r.message, {});
		if (row.quick == TRUNCATED) {
			a[2] |= dns::FLAG_TC >> 8;
		} else {
			make_bare(a, (uint16_t)row.quick);
		}
		return std::vector<Reply>{{0ms, a}};
	});
	FakeUpstream slow("127.0.0.3", false, [&](const Received &r) {
		const Row &row = row_of(r);
		if (row.slow == 2)
			return std::vector<Reply>{{150ms, dns::build_answer(r.message,
			    a_records({"192.0.2.1", "192.0.2.2"}))}};
		if (row.slow == 1)
			return std::vector<Reply>{{50ms, dns::build_answer(r.message,
			    a_records({"192.0.2.3"}))}};
		return std::vector<Reply>{};
	});
	start({&quick, &slow});
	ASSERT_FALSE(HasFatalFailure());

	std::vector<std::unique_ptr<DnsClient>> cs;
	std::vector<Clock::time_point> sent;
	for (const Row &row : rows) {
		cs.push_back(std::make_unique<DnsClient>(port_));
		sent.push_back(Clock::now());
		ASSERT_TRUE(cs.back()->send(dns::build_query(0x7a7a, row.name, dns::TYPE_A)));
	}
	/* Long past every hold, each client at once: anything more would have
	 * come. */
	std::vector<std::vector<Datagram>> gots = collect_each(cs, 1200ms);
	for (size_t i = 0; i < std::size(rows); i++) {
		const Row &row = rows[i];
		SCOPED_TRACE(row.name);
		const auto &got = gots[i];
		ASSERT_EQ(got.size(), row.answered ? 1u : 0u) << addresses_text(got);
		if (!row.answered)
			continue;
		EXPECT_EQ(dns::message_id(got[0].data), 0x7a7a);
		EXPECT_EQ(dns::message_flags(got[0].data) & (dns::FLAG_TC | 0xf), row.bits);
		EXPECT_EQ(dns::message_qdcount(got[0].data), row.qdcount);
		EXPECT_EQ(dns::answer_addresses(got[0].data), row.addresses);
		if (row.held) {
			EXPECT_GE(got[0].at - sent[i], 300ms);
		}
	}
	EXPECT_EQ(count_of(log(), "does not answer its query; dropped."), 2u) << log();
}

/*
 * The server's own answer follows a forged one from the same path some
 * 30 ms later: a real answer (NXDOMAIN and NODATA too) takes the held
 * one's place, a server's failure does not. And one query gets one answer:
 * nothing after the first that went out, relayed or released.
 */
TEST_F(ForwarderTest, TheServersAnswerOvertakesAForgedOneAndEachQueryGetsOne)
{
	enum Kind { TWO, ONE, NXDOMAIN, NODATA, REFUSED };
	struct Step {
		std::chrono::milliseconds delay;
		Kind kind;
	};
	const struct Row {
		const char *name;
		std::vector<Step> a, b; /* what servers A and B answer */
		uint16_t rcode;
		Addresses addresses;
		bool held;
	} rows[] = {
	    {"relayed-then-one.test", {{0ms, TWO}}, {{50ms, ONE}}, 0, {"192.0.2.1", "192.0.2.2"}, false},
	    {"one-then-relayed.test", {{0ms, ONE}}, {{150ms, TWO}}, 0, {"192.0.2.1", "192.0.2.2"}, false},
	    {"one-then-nxdomain.test", {{0ms, ONE}, {50ms, NXDOMAIN}}, {}, 3, {}, true},
	    {"one-then-nodata.test", {{0ms, ONE}, {50ms, NODATA}}, {}, 0, {}, true},
	    {"one-then-refused.test", {{0ms, ONE}}, {{50ms, REFUSED}}, 0, {"192.0.2.9"}, true},
	};
	auto script = [&](bool server_a) {
		return [&rows, server_a](const Received &r) {
			std::vector<Reply> out;
			auto q = dns::first_question(r.message);
			for (const Row &row : rows) {
				if (!q || q->name != row.name)
					continue;
				for (const Step &st : server_a ? row.a : row.b) {
					dns::Bytes m = dns::build_answer(r.message, st.kind == TWO ?
					    a_records({"192.0.2.1", "192.0.2.2"}) : st.kind == ONE ?
					    a_records({"192.0.2.9"}) : std::vector<dns::Record>{});
					if (st.kind == NXDOMAIN || st.kind == REFUSED)
						set_rcode(m, st.kind == NXDOMAIN ? 3 : RCODE_REFUSED);
					out.push_back({st.delay, m});
				}
			}
			return out;
		};
	};
	FakeUpstream a("127.0.0.2", false, script(true)), b("127.0.0.3", false, script(false));
	start({&a, &b});
	ASSERT_FALSE(HasFatalFailure());

	std::vector<std::unique_ptr<DnsClient>> cs;
	std::vector<Clock::time_point> sent;
	for (const Row &row : rows) {
		cs.push_back(std::make_unique<DnsClient>(port_));
		sent.push_back(Clock::now());
		ASSERT_TRUE(cs.back()->send(dns::build_query(0x5a5a, row.name, dns::TYPE_A)));
	}
	/* Long past every hold, each client at once: anything more would have
	 * come. */
	std::vector<std::vector<Datagram>> gots = collect_each(cs, 1200ms);
	for (size_t i = 0; i < std::size(rows); i++) {
		const Row &row = rows[i];
		SCOPED_TRACE(row.name);
		const auto &got = gots[i];
		ASSERT_EQ(got.size(), 1u) << addresses_text(got);
		EXPECT_EQ(dns::message_id(got[0].data), 0x5a5a);
		EXPECT_EQ(dns::message_flags(got[0].data) & 0xf, row.rcode);
		EXPECT_EQ(dns::answer_addresses(got[0].data), row.addresses);
		if (row.held) {
			EXPECT_GE(got[0].at - sent[i], 300ms);
		}
	}
	if (testing_windows_build())
		return;
	/* The single address after the relayed answer, and the held one
	 * overtaken by a relayed one. */
	fwd_->signal(SIGUSR1);
	ASSERT_TRUE(wait_log("median latency"));
	EXPECT_EQ(count_of(log(), "answers not sent: their client had one already: 2"), 1u) << log();
}

/*
 * Every line a stranger or a server can cause, flooded: each kind is
 * written at most a few times a second (the burst, then one summary), so
 * that nobody who can reach a socket can fill the disk.
 */
TEST_F(ForwarderTest, FloodsOfEveryLoggedKindCostTheLogAFewLines)
{
	constexpr int kFlood = 300;
	/* An answer whose record's owner name points at itself: it passes the
	 * message check, and only the filter, reading the record, fails. */
	auto looping = [](const dns::Bytes &q) {
		dns::Bytes a = dns::build_answer(q, {dns::a_record("192.0.2.1")});
		size_t rr = q.size();
		a[rr] = 0xc0;
		a[rr + 1] = (uint8_t)rr;
		return a;
	};
	auto flood = [](dns::Bytes d, Reply::Via via = Reply::Via::Normal) {
		return std::vector<Reply>(kFlood, Reply{0ms, std::move(d), via});
	};
	std::map<std::string, std::function<std::vector<Reply>(const Received &)>> plain_by_name = {
	    {"loop.test", [&](const Received &r) { return flood(looping(r.message)); }},
	    {"id.test", [&](const Received &r) {
		 dns::Bytes g = dns::build_answer(r.message, a_records({"192.0.2.1"}));
		 return flood(dns::with_id(g, dns::message_id(g) ^ 0x5a5a));
	     }},
	    {"stranger.test", [&](const Received &r) {
		 return flood(dns::build_answer(r.message, {}), Reply::Via::Stranger);
	     }},
	    {"short.test", [&](const Received &) { return flood(dns::Bytes(4, 0)); }},
	};
	FakeUpstream plain("127.0.0.2", false, [&](const Received &r) {
		auto q = dns::first_question(r.message);
		auto it = q ? plain_by_name.find(q->name) : plain_by_name.end();
		return it == plain_by_name.end() ? std::vector<Reply>{} : it->second(r);
	});
	FakeUpstream enc("127.0.0.3", true, [&](const Received &r) {
		auto q = dns::first_question(r.message);
		if (!q || q->name != "frame.test")
			return std::vector<Reply>{};
		dns::Bytes oversized(2 + 16 * 40, 0);
		std::vector<Reply> out = flood(oversized, Reply::Via::Raw);
		dns::Bytes bad = FakeUpstream::frame(dns::build_answer(r.message, {}));
		bad.pop_back();
		for (Reply &b : flood(bad, Reply::Via::Raw))
			out.push_back(b);
		return out;
	});
	start({&plain, &enc});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	for (const char *name : {"loop.test", "id.test", "stranger.test", "short.test", "frame.test"})
		ASSERT_TRUE(c.send(dns::build_query(0x0f10, name, dns::TYPE_A)));
	dns::Bytes junk = {1, 2, 3};
	for (int i = 0; i < kFlood; i++) {
		ASSERT_TRUE(c.send(junk));
		ASSERT_TRUE(c.send(dns::Bytes{}));
	}
	/* Long enough for every flood to have arrived and its summary due. */
	std::this_thread::sleep_for(2500ms);
	ASSERT_TRUE(c.send(dns::Bytes{}));
	std::this_thread::sleep_for(200ms);

	const std::string lg = log();
	const struct {
		const char *line;
		std::string pattern;
	} rows[] = {
	    {"filter", "[WARN] filter: Failed to parse DNS response."},
	    {"unexpected_id", "Unexpected DNS response for ID"},
	    {"stranger", "not an upstream server"},
	    {"short_answer", "QILEC_00701"},
	    {"oversized_frame", "QILEC_00699"},
	    {"bad_frame", "encryptioin block"},
	    {"bad_query", "QILEC_00695"},
	    {"empty_query", "QILEC_00694"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.line);
		size_t n = count_of(lg, row.pattern);
		EXPECT_GE(n, 1u) << "never logged";
		/* The burst of a few seconds and their summaries. */
		EXPECT_LE(n, 20u);
	}
}

/* A UDP socket on [::1] with a port of the kernel's choice; -1 without
 * IPv6 on the loopback. */
int
udp6_loopback(uint16_t *port)
{
	int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	sockaddr_in6 sa{};
	sa.sin6_family = AF_INET6;
	sa.sin6_addr = in6addr_loopback;
	socklen_t len = sizeof sa;
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
		if (fd >= 0)
			close(fd);
		return -1;
	}
	*port = ntohs(sa.sin6_port);
	return fd;
}

/* Listening on ::1 and asking servers at [::1], a plain one over UDP and an
 * encrypted one: IPv6 both ways, and the encrypted server asked for a
 * client over TCP too. */
TEST_F(ForwarderTest, Ipv6ListeningAddressAndServers)
{
	uint16_t up_port = 0, enc_port = 0, client_port = 0;
	int up = udp6_loopback(&up_port);
	if (up < 0)
		GTEST_SKIP() << "no IPv6 on the loopback here";
	Fd up_fd(up), enc_fd(udp6_loopback(&enc_port)), client(udp6_loopback(&client_port));
	QCA_Context key{};
	upstream_key_init(&key);
	std::atomic<bool> done{false};
	/* The servers: two addresses for every question, the encrypted one
	 * its own two, for 10 s at most. */
	std::thread server([&] {
		auto end = Clock::now() + 10s;
		while (!done && Clock::now() < end) {
			pollfd p[2] = {{up_fd.get(), POLLIN, 0}, {enc_fd.get(), POLLIN, 0}};
			if (poll(p, 2, 50) < 1)
				continue;
			for (int i = 0; i < 2; i++) {
				if (!(p[i].revents & POLLIN))
					continue;
				uint8_t buf[1500];
				sockaddr_in6 from{};
				socklen_t fl = sizeof from;
				ssize_t n = recvfrom(p[i].fd, buf, sizeof buf, 0,
				                     reinterpret_cast<sockaddr *>(&from), &fl);
				size_t len = n > 0 ? (size_t)n : 0;
				if (n <= 0 || (i == 1 && QCA_unframe(&key, buf, len, &len) != QCA_UNFRAME_OK))
					continue;
				dns::Bytes a = dns::build_answer(std::span<const uint8_t>(buf, len),
				    i == 0 ? a_records({"192.0.2.61", "192.0.2.62"}) :
				             a_records({"192.0.2.71", "192.0.2.72"}));
				if (i == 1)
					a = FakeUpstream::frame(a);
				(void)sendto(p[i].fd, a.data(), a.size(), 0,
				             reinterpret_cast<sockaddr *>(&from), fl);
			}
		}
	});
	start_with_list("[::1]:" + std::to_string(up_port) + ",E[::1]:" + std::to_string(enc_port),
	    {"-l", "::1"});
	if (!HasFatalFailure()) {
		sockaddr_in6 to{};
		to.sin6_family = AF_INET6;
		to.sin6_addr = in6addr_loopback;
		to.sin6_port = htons(port_);
		dns::Bytes q = dns::build_query(0x6666, "six.test", dns::TYPE_A);
		EXPECT_EQ(sendto(client.get(), q.data(), q.size(), 0,
		                 reinterpret_cast<sockaddr *>(&to), sizeof to), (ssize_t)q.size());
		pollfd p{client.get(), POLLIN, 0};
		uint8_t buf[1500];
		ssize_t n = poll(&p, 1, 5000) == 1 ? recv(client.get(), buf, sizeof buf, 0) : -1;
		ASSERT_GT(n, 0) << "no answer over IPv6\n" << log();
		std::span<const uint8_t> a(buf, (size_t)n);
		EXPECT_EQ(dns::message_id(a), 0x6666);
		EXPECT_EQ(dns::answer_addresses(a).size(), 2u);

		/* The plain server takes no TCP: only the encrypted one can
		 * answer a client over TCP. */
		ASSERT_TRUE(wait_log("over TCP")) << "the TCP listener";
		TcpClient c("::1", port_);
		ASSERT_TRUE(c.send_message(dns::build_query(0x7777, "tcp6.test", dns::TYPE_A)));
		auto m = c.receive(5s);
		ASSERT_TRUE(m) << log();
		EXPECT_EQ(dns::message_id(*m), 0x7777);
		EXPECT_EQ(dns::answer_addresses(*m), (Addresses{"192.0.2.71", "192.0.2.72"}));
	}
	done = true;
	server.join();
}

/* ---------------------------------------------------------------------- */
/* The cache (-C), fail-fast (-F) and the idle process. */

/* Per question name, what the fake answers: the cache's table. */
std::vector<Reply>
cache_script(const Received &r)
{
	std::string name = dns::first_question(r.message)->name;
	auto a = [&](std::vector<dns::Record> recs) { return dns::build_answer(r.message, recs); };
	if (name == "two.test")
		return {{0ms, a(a_records({"192.0.2.1", "192.0.2.2"}))}};
	if (name == "one.test")
		return {{0ms, a(a_records({"192.0.2.3"}))}};
	if (name == "blocked.test")
		return {{0ms, a(a_records({"198.51.100.66"}))}};
	if (name == "replaced.test")
		return {{0ms, a({})}, {100ms, a(a_records({"192.0.2.9"}))}};
	dns::Bytes tc = a(a_records({"192.0.2.4"}));
	tc[2] |= dns::FLAG_TC >> 8;
	return {{0ms, tc}};
}

/* What a client gets is what the next one gets at once; what it never got
 * (dropped, replaced, truncated) is asked upstream again. */
TEST_F(ForwarderTest, CacheKeepsWhatTheClientGotAndNothingElse)
{
	write_file(dir_.file("blocklist.txt"), "198.51.100.66\n");
	FakeUpstream f("127.0.0.2", false, cache_script);
	start({&f}, {"-b", "blocklist.txt", "-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	const struct {
		const char *name;
		Addresses first; /* what the first client gets */
		bool cached;     /* the second is answered at once, as the first */
	} cases[] = {
	    {"two.test", {"192.0.2.1", "192.0.2.2"}, true},
	    {"one.test", {"192.0.2.3"}, true},
	    {"replaced.test", {"192.0.2.9"}, true},
	    {"blocked.test", {}, false},
	    {"tc.test", {"192.0.2.4"}, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		DnsClient first(port_), second(port_);
		size_t asked = f.received_count();
		ASSERT_TRUE(first.send(dns::build_query(0x0101, c.name, dns::TYPE_A)));
		auto got = first.collect(700ms);
		if (std::string(c.name) != "blocked.test") {
			ASSERT_EQ(got.size(), 1u) << addresses_text(got);
			EXPECT_EQ(dns::answer_addresses(got[0].data), c.first);
		}
		auto sent = Clock::now();
		ASSERT_TRUE(second.send(dns::build_query(0x0202, c.name, dns::TYPE_A)));
		auto again = second.collect_until(1, 700ms);
		EXPECT_EQ(f.received_count(), asked + (c.cached ? 1 : 2));
		if (!c.cached)
			continue;
		ASSERT_EQ(again.size(), 1u);
		EXPECT_EQ(dns::message_id(again[0].data), 0x0202);
		EXPECT_EQ(dns::answer_addresses(again[0].data), c.first);
		/* Not held again: well before the 0.3 s hold. */
		EXPECT_LT(again[0].at - sent, 200ms);
	}
}

/* The TTL of the first answer record of `m`, whose question is one name
 * and whose records point back at it (dns::build_answer()); 0 for none. */
uint32_t
first_ttl(const dns::Bytes &m)
{
	size_t at = 12;
	while (at < m.size() && m[at] != 0)
		at += m[at] + 1u;
	at += 1 + 4 + 2 + 4; /* root label, type and class, pointer, type and class */
	if (dns::message_ancount(m) == 0 || at + 4 > m.size())
		return 0;
	return (uint32_t)m[at] << 24 | m[at + 1] << 16 | m[at + 2] << 8 | m[at + 3];
}

/* The cache keeps the answer its client took, the first: not a later one
 * from a slower server, however long it says it may live. */
TEST_F(ForwarderTest, CacheKeepsTheFirstAnswerItsClientTook)
{
	const struct {
		const char *what;
		Addresses fast; /* 60 s, at once */
		std::chrono::milliseconds slow_after; /* two other addresses, a day */
		Addresses taken;
	} rows[] = {
	    {"relayed, then a slower server", {"192.0.2.1", "192.0.2.2"}, 300ms,
	        {"192.0.2.1", "192.0.2.2"}},
	    {"held, then a slower server within the hold", {"192.0.2.1"}, 100ms,
	        {"192.0.2.7", "192.0.2.8"}},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		/* A name of its own: the cache is kept across the restarts. */
		std::string name = std::to_string(&r - rows) + ".first.test";
		std::vector<dns::Record> fast_records;
		for (const auto &a : r.fast)
			fast_records.push_back(dns::a_record(a));
		FakeUpstream fast("127.0.0.2", false, [&](const Received &q) {
			return std::vector<Reply>{{0ms, dns::build_answer(q.message, fast_records, 60)}};
		});
		FakeUpstream slow("127.0.0.3", false, [&](const Received &q) {
			return std::vector<Reply>{{r.slow_after, dns::build_answer(q.message,
			    a_records({"192.0.2.7", "192.0.2.8"}), 86400)}};
		});
		start({&fast, &slow}, {"-C", "100"});
		ASSERT_FALSE(HasFatalFailure());
		DnsClient first(port_), second(port_);
		ASSERT_TRUE(first.send(dns::build_query(0x0101, name, dns::TYPE_A)));
		auto got = first.collect(1000ms);
		ASSERT_EQ(got.size(), 1u) << addresses_text(got);
		EXPECT_EQ(dns::answer_addresses(got[0].data), r.taken);
		size_t asked = fast.received_count();
		ASSERT_TRUE(second.send(dns::build_query(0x0202, name, dns::TYPE_A)));
		auto again = second.collect_until(1, 700ms);
		ASSERT_EQ(again.size(), 1u);
		EXPECT_EQ(fast.received_count(), asked) << "answered from the cache";
		EXPECT_EQ(dns::answer_addresses(again[0].data), r.taken);
		EXPECT_LE(first_ttl(again[0].data), r.taken == r.fast ? 60u : 86400u);
		stop_and_expect_clean_exit(SIGTERM);
	}
}

/*
 * An upstream that speaks EDNS as a server does: BADVERS to a version above
 * 0; else two addresses (a 1500-byte TXT for big.test), with an OPT of its
 * own that answers the query's options: its client cookie with a server
 * cookie, an NSID, the Client Subnet with its scope, an EXPIRE.
 */
std::vector<Reply>
edns_server(const Received &r)
{
	auto q = dns::first_question(r.message);
	auto opt = dns::opt_record(r.message);
	bool big = q && q->name == "big.test";
	dns::Bytes a = dns::build_answer(r.message, big ?
	    std::vector<dns::Record>{dns::txt_record(1500)} : a_records({"192.0.2.1", "192.0.2.2"}));
	if (!opt)
		return {{0ms, a}};
	dns::Opt mine{1232, 0, 0, static_cast<uint16_t>(opt->flags & 0x8000), {}};
	if (opt->version > 0) {
		mine.ext_rcode = 1; /* BADVERS */
		return {{0ms, dns::with_opt(dns::build_answer(r.message, {}), mine)}};
	}
	if (auto c = opt->option(10)) {
		c->resize(8);
		c->insert(c->end(), {'s', 'e', 'r', 'v', 'e', 'r', '0', '1'});
		mine.options.emplace_back(10, *c);
	}
	if (opt->option(3))
		mine.options.emplace_back(3, dns::Bytes{'f', 'a', 'k', 'e'});
	if (auto e = opt->option(8); e && e->size() > 3) {
		(*e)[3] = (*e)[2]; /* scope: the source prefix */
		mine.options.emplace_back(8, *e);
	}
	if (opt->option(9))
		mine.options.emplace_back(9, dns::Bytes{0, 0, 0x0e, 0x10});
	return {{0ms, dns::with_opt(a, mine)}};
}

/* An OPT with one option. */
dns::Opt
opt_with(uint16_t code, dns::Bytes data)
{
	dns::Opt o;
	o.options.emplace_back(code, std::move(data));
	return o;
}

/* A Client Subnet option for a.b.c.0/24. */
dns::Bytes
subnet24(uint8_t a, uint8_t b, uint8_t c)
{
	return {0, 1, 24, 0, a, b, c};
}

/*
 * A reply from the cache is made for the query that asks: its ID and RD,
 * its own OPT without another client's cookie, its spelling even when cut
 * to TC. A query whose answer depends on more than its question (another
 * EDNS version, NSID, Client Subnet, EXPIRE, a signature) goes to the
 * server, and such an answer is never kept for another.
 */
TEST_F(ForwarderTest, CacheRepliesAreMadeForTheQueryThatAsks)
{
	FakeUpstream f("127.0.0.2", false, edns_server);
	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	auto edns = [](uint16_t id, const char *name, dns::Opt opt = {}, bool rd = true) {
		return dns::with_opt(dns::build_query(id, name, dns::TYPE_A, rd), opt);
	};
	auto plain = [](uint16_t id, const char *name, bool rd = true) {
		return dns::build_query(id, name, dns::TYPE_A, rd);
	};
	dns::Opt v1, small;
	v1.version = 1;
	small.size = 1232;
	const dns::Bytes c1(8, 1), c2(8, 2);
	using Check = std::function<void(const dns::Bytes &, const std::optional<dns::Opt> &)>;
	const struct {
		const char *name;
		dns::Bytes first, second;
		bool forwarded; /* the second query reaches the server */
		Check check;    /* of the reply to the second */
	} rows[] = {
	    {"another client's cookie", edns(1, "c.test", opt_with(10, c1)),
	        edns(2, "c.test", opt_with(10, c2)), false,
	        [](const dns::Bytes &, const std::optional<dns::Opt> &o) {
		        ASSERT_TRUE(o);
		        EXPECT_FALSE(o->option(10)) << "a cookie from the cache";
	        }},
	    {"EDNS version 1", edns(1, "v.test"), edns(2, "v.test", v1), true,
	        [](const dns::Bytes &r, const std::optional<dns::Opt> &o) {
		        ASSERT_TRUE(o);
		        EXPECT_EQ(o->ext_rcode, 1) << "BADVERS";
		        EXPECT_EQ(dns::message_ancount(r), 0);
	        }},
	    {"no recursion asked", plain(1, "rd.test"), plain(2, "rd.test", false), false,
	        [](const dns::Bytes &r, const std::optional<dns::Opt> &o) {
		        EXPECT_EQ(dns::message_flags(r) & dns::FLAG_RD, 0);
		        EXPECT_EQ(dns::answer_addresses(r).size(), 2u);
		        EXPECT_FALSE(o);
	        }},
	    {"NSID", edns(1, "n.test"), edns(2, "n.test", opt_with(3, {})), true,
	        [](const dns::Bytes &, const std::optional<dns::Opt> &o) {
		        ASSERT_TRUE(o);
		        EXPECT_EQ(o->option(3), (dns::Bytes{'f', 'a', 'k', 'e'}));
	        }},
	    {"an NSID answer is not kept", edns(1, "n2.test", opt_with(3, {})), edns(2, "n2.test"),
	        true, [](const dns::Bytes &, const std::optional<dns::Opt> &o) {
		        ASSERT_TRUE(o);
		        EXPECT_FALSE(o->option(3));
	        }},
	    {"another subnet", edns(1, "s.test", opt_with(8, subnet24(192, 0, 2))),
	        edns(2, "s.test", opt_with(8, subnet24(198, 51, 100))), true,
	        [](const dns::Bytes &, const std::optional<dns::Opt> &o) {
		        ASSERT_TRUE(o);
		        EXPECT_EQ(o->option(8), (dns::Bytes{0, 1, 24, 24, 198, 51, 100}));
	        }},
	    {"EXPIRE", edns(1, "e.test"), edns(2, "e.test", opt_with(9, {})), true,
	        [](const dns::Bytes &, const std::optional<dns::Opt> &o) {
		        ASSERT_TRUE(o);
		        EXPECT_TRUE(o->option(9));
	        }},
	    {"signed", plain(1, "t.test"), dns::with_additional(plain(2, "t.test"), 250), true,
	        [](const dns::Bytes &, const std::optional<dns::Opt> &) {}},
	    {"cut to TC", edns(1, "big.test"), edns(2, "BIG.test", small), false,
	        [](const dns::Bytes &r, const std::optional<dns::Opt> &o) {
		        EXPECT_TRUE(dns::message_flags(r) & dns::FLAG_TC);
		        EXPECT_EQ(dns::message_ancount(r), 0);
		        EXPECT_EQ(dns::first_question(r)->name, "BIG.test");
		        EXPECT_TRUE(o) << "no OPT in the truncated reply";
	        }},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.name);
		DnsClient c(port_);
		ASSERT_TRUE(c.send(row.first));
		ASSERT_EQ(c.collect_until(1, 2s).size(), 1u);
		size_t asked = f.received_count();
		ASSERT_TRUE(c.send(row.second));
		auto got = c.collect_until(1, 2s);
		ASSERT_EQ(got.size(), 1u);
		EXPECT_EQ(f.received_count(), asked + (row.forwarded ? 1 : 0));
		EXPECT_EQ(dns::message_id(got[0].data), 2);
		row.check(got[0].data, dns::opt_record(got[0].data));
	}
}

/* dig through the cache: a second cookie is not the first's, EDNS version
 * 1 gets the server's BADVERS, +norecurse an answer without RD. */
TEST_F(ForwarderTest, DigThroughTheCache)
{
	if (!dig("-v"))
		GTEST_SKIP() << "dig is not installed (package bind9-dnsutils); skipping";
	FakeUpstream f("127.0.0.2", false, edns_server);
	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	std::string at = "@127.0.0.1 -p " + std::to_string(port_) + " +tries=1 +time=3 ";
	const struct {
		std::string args, want, never;
	} rows[] = {
	    {"+cookie=0101010101010101 dig.test", "status: NOERROR", "COOKIE mismatch"},
	    {"+cookie=0202020202020202 dig.test", "status: NOERROR", "COOKIE mismatch"},
	    {"+edns=1 +noednsnegotiation dig.test", "status: BADVERS", "status: NOERROR"},
	    {"+norecurse dig.test", "flags: qr ra;", " rd"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.args);
		std::string out = dig(at + row.args).value_or("");
		EXPECT_NE(out.find(row.want), std::string::npos) << out;
		EXPECT_EQ(out.find(row.never), std::string::npos) << out;
	}
	EXPECT_EQ(f.received_count(), 2u) << "the first dig and the version 1 query";
}

/* With -C 100, 20,000 names asked twice each cost the process no more
 * than its 100 entries: nothing the cache keeps outlives its entry. */
TEST_F(ForwarderTest, CacheMemoryIsBoundedByItsEntries)
{
	if (testing_windows_build())
		GTEST_SKIP() << "reads the resident size from /proc";
#if defined(__SANITIZE_ADDRESS__)
	/* cache_test counts the cache's own entries there. */
	GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: the resident size "
	                "tells nothing of the cache";
#endif
	FakeUpstream f("127.0.0.2", false, answer(a_records({"192.0.2.1", "192.0.2.2"})), 0, 180s);
	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	auto rss_kib = [&] {
		std::ifstream in("/proc/" + std::to_string(fwd_->pid()) + "/status");
		for (std::string line; std::getline(in, line);)
			if (line.rfind("VmRSS:", 0) == 0)
				return std::stol(line.substr(6));
		return 0L;
	};
	/* Fifty names at a time, each asked again once answered. */
	auto ask_twice = [&](int from, int to) {
		for (int at = from; at < to; at += 50) {
			for (int pass = 0; pass < 2; pass++) {
				for (int i = at; i < at + 50; i++)
					ASSERT_TRUE(c.send(dns::build_query((uint16_t)i,
					    "m" + std::to_string(i) + ".test", dns::TYPE_A)));
				ASSERT_EQ(c.collect_until(50, 5s).size(), 50u) << "at " << at;
			}
		}
	};
	ask_twice(0, 2000);
	long before = rss_kib();
	ask_twice(2000, 22000);
	long grown = rss_kib() - before;
	std::cout << "resident size grew by " << grown << " KiB\n";
	EXPECT_LT(grown, 3 * 1024);
}

/* With -F 3 a query whose every answer is dropped gets SERVFAIL after 3 s,
 * once; a good answer that comes later is its second, and not sent. */
TEST_F(ForwarderTest, FailFastSendsServfailOnceAndNothingAfterIt)
{
	write_file(dir_.file("blocklist.txt"), "198.51.100.66\n");
	FakeUpstream f("127.0.0.2", false, [](const Received &r) {
		return std::vector<Reply>{
		    {0ms, dns::build_answer(r.message, a_records({"198.51.100.66"}))},
		    {3800ms, dns::build_answer(r.message, a_records({"192.0.2.5", "192.0.2.6"}))},
		};
	});
	start({&f}, {"-b", "blocklist.txt", "-F", "3", "-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	dns::Opt with_do;
	with_do.flags = 0x8000;
	/* The SERVFAIL echoes what each asked: spelling, RD, EDNS and DO. */
	const struct {
		dns::Bytes query;
		bool rd;
		std::optional<uint16_t> opt_flags;
	} rows[] = {
	    {dns::build_query(0x3333, "Dropped.Test", dns::TYPE_A), true, std::nullopt},
	    {dns::with_opt(dns::build_query(0x3333, "DrOpPeD.TeSt", dns::TYPE_A, false), with_do),
	        false, 0x8000},
	};
	std::vector<std::unique_ptr<DnsClient>> clients;
	auto sent = Clock::now();
	for (const auto &row : rows) {
		clients.push_back(std::make_unique<DnsClient>(port_));
		ASSERT_TRUE(clients.back()->send(row.query));
	}
	for (size_t i = 0; i < clients.size(); i++) {
		SCOPED_TRACE(i);
		auto got = clients[i]->collect_until(1, 6s);
		ASSERT_TRUE(f.wait_idle(3s)) << "the good answer";
		auto more = clients[i]->collect(500ms);
		got.insert(got.end(), more.begin(), more.end());
		ASSERT_EQ(got.size(), 1u) << addresses_text(got);
		auto after = std::chrono::duration_cast<std::chrono::milliseconds>(got[0].at - sent);
		std::cout << "SERVFAIL after " << after.count() << " ms\n";
		const dns::Bytes &fail = got[0].data;
		EXPECT_EQ(dns::message_flags(fail) & 0x000f, 2) << "SERVFAIL";
		EXPECT_EQ(dns::message_id(fail), 0x3333);
		EXPECT_EQ(dns::first_question(fail)->qtype, dns::TYPE_A);
		EXPECT_EQ(dns::first_question(fail)->name, dns::first_question(rows[i].query)->name);
		EXPECT_EQ((dns::message_flags(fail) & dns::FLAG_RD) != 0, rows[i].rd);
		auto opt = dns::opt_record(fail);
		EXPECT_EQ(opt ? std::optional<uint16_t>(opt->flags) : std::nullopt, rows[i].opt_flags);
		EXPECT_GE(after, 2900ms);
		EXPECT_LT(after, 5s);
	}
	/* The late good answer is what the client's next try gets, at once:
	 * it had only our SERVFAIL. */
	size_t asked = f.received_count();
	DnsClient again(port_);
	ASSERT_TRUE(again.send(dns::build_query(0x4444, "dropped.test", dns::TYPE_A)));
	auto hit = again.collect_until(1, 200ms);
	ASSERT_EQ(hit.size(), 1u);
	EXPECT_EQ(dns::answer_addresses(hit[0].data), (Addresses{"192.0.2.5", "192.0.2.6"}));
	EXPECT_EQ(f.received_count(), asked);
}

/* What a laptop sees: lookups as the C library makes them (A, and AAAA
 * that the router answers empty without SOA) pay the hold once, not at
 * every repeat; after a restart in the same directory, as at resume, the
 * cache is warm again; a kept cache that was overwritten with garbage
 * costs one warning and nothing else. */
TEST_F(ForwarderTest, WarmAfterARestartAndEmptyAnswersWithoutSoaPaidOnce)
{
	if (testing_windows_build())
		GTEST_SKIP() << "the Windows build ends through its icon's menu, not signals";
	FakeUpstream f("127.0.0.2", false, [](const Received &r) {
		bool aaaa = dns::first_question(r.message)->qtype == dns::TYPE_AAAA;
		return std::vector<Reply>{{20ms, aaaa ? dns::build_answer(r.message, {}) :
		    dns::build_answer(r.message, {dns::a_record("192.0.2.80")}, 3600)}};
	});
	/* Every lookup of every name, A and AAAA: how many the servers were
	 * asked, and whether each came well before the 0.3 s hold. */
	auto lookups = [&](const char *what) {
		SCOPED_TRACE(what);
		size_t asked = f.received_count();
		DnsClient c(port_);
		int quick = 0;
		for (int i = 0; i < 10; i++) {
			std::string name = "n" + std::to_string(i) + ".test";
			for (uint16_t type : {dns::TYPE_A, dns::TYPE_AAAA}) {
				auto sent = Clock::now();
				EXPECT_TRUE(c.send(dns::build_query((uint16_t)(i * 2 + type), name, type)));
				auto got = c.collect_until(1, 2s);
				EXPECT_EQ(got.size(), 1u) << name;
				quick += !got.empty() && got[0].at - sent < 200ms;
			}
		}
		return std::pair{f.received_count() - asked, quick};
	};
	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	EXPECT_EQ(lookups("first").second, 0) << "each one held once";
	EXPECT_EQ(lookups("repeat"), (std::pair<size_t, int>{0, 20}));
	stop_and_expect_clean_exit(SIGTERM);

	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	EXPECT_NE(log().find("QILEC_01075: 20 answers of the kept cache restored"),
	    std::string::npos) << log();
	EXPECT_EQ(lookups("after a restart"), (std::pair<size_t, int>{0, 20}));
	stop_and_expect_clean_exit(SIGTERM);

	write_file(dir_.file(CACHE_FILE_NAME), std::string(5000, '\x5a'));
	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	EXPECT_EQ(lookups("after garbage").first, 20u) << "asked anew";
	std::string l = log();
	size_t first = l.find("QILEC_01074");
	EXPECT_NE(first, std::string::npos);
	EXPECT_EQ(l.find("QILEC_01074", first + 1), std::string::npos) << "one warning";
}

/* A popular name is refreshed before it expires, so its next client does
 * not wait for the hold; a name the servers no longer answer is served
 * stale, TTL 30, 1.8 s after its query. */
TEST_F(ForwarderTest, CacheRefreshesPopularNamesAndServesStaleWhenServersAreSilent)
{
	std::atomic<bool> silent{false};
	FakeUpstream f("127.0.0.2", false, [&](const Received &r) {
		if (silent)
			return std::vector<Reply>{};
		return std::vector<Reply>{
		    {0ms, dns::build_answer(r.message, a_records({"192.0.2.8"}), 2)}};
	});
	start({&f}, {"-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	auto ask = [&](uint16_t id, std::chrono::milliseconds limit) {
		auto sent = Clock::now();
		EXPECT_TRUE(c.send(dns::build_query(id, "pop.test", dns::TYPE_A)));
		auto got = c.collect_until(1, limit);
		return std::make_pair(got, got.empty() ? 0ms :
		    std::chrono::duration_cast<std::chrono::milliseconds>(got[0].at - sent));
	};

	auto [first, t1] = ask(1, 2s); /* held, then kept for 2 s */
	ASSERT_EQ(first.size(), 1u);
	auto [second, t2] = ask(2, 1s); /* asked twice: refreshed at 1.8 s */
	ASSERT_EQ(second.size(), 1u);
	EXPECT_LT(t2, 200ms);
	ASSERT_TRUE(f.wait_received(2, 4s)) << "no refresh";
	/* Past the first answer's expiry, the refresh answers at once. */
	std::this_thread::sleep_for(800ms);
	auto [third, t3] = ask(3, 1s);
	ASSERT_EQ(third.size(), 1u);
	EXPECT_LT(t3, 200ms);
	EXPECT_EQ(f.received_count(), 2u);

	silent = true;
	std::this_thread::sleep_for(2500ms); /* every answer expired */
	auto [fourth, t4] = ask(4, 4s);
	ASSERT_EQ(fourth.size(), 1u);
	EXPECT_GE(t4, 1700ms);
	EXPECT_EQ(dns::answer_addresses(fourth[0].data), (Addresses{"192.0.2.8"}));
	EXPECT_EQ(dns::message_id(fourth[0].data), 4);
}

/* Idle with nothing held, no thread of the forwarder wakes up: not the
 * event loop, not the TCP thread, not the first thread, and not the TLS
 * thread with its connection open (its idle time-out is a deadline). */
TEST_F(ForwarderTest, IdleForwarderNeverWakesUp)
{
	if (testing_windows_build())
		GTEST_SKIP() << "counts context switches in /proc";
	FakeUpstream f("127.0.0.2", false, answer(a_records({"192.0.2.1", "192.0.2.2"})));
	FakeTlsServer tls(FakeTlsServer::Mode::Answer);
	const struct {
		const char *name;
		std::string list;
	} rows[] = {
	    {"a plain server", f.list_entry()},
	    {"a plain and a TLS server", f.list_entry() + "," + tls.entry("insecure")},
	};
	uint16_t id = 0;
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		start_with_list(r.list, {"-C", "100", "-F", "1"});
		ASSERT_FALSE(HasFatalFailure());
		DnsClient c(port_);
		/* A name of its own: the cache is kept across the restarts. */
		std::string name = std::to_string(id) + ".idle.test";
		ASSERT_TRUE(c.send(dns::build_query(++id, name, dns::TYPE_A)));
		ASSERT_GE(c.collect_until(1, 2s).size(), 1u);

		auto switches = [&] {
			uint64_t n = 0;
			std::string task = "/proc/" + std::to_string(fwd_->pid()) + "/task";
			for (const auto &t : std::filesystem::directory_iterator(task)) {
				std::ifstream in(t.path() / "status");
				for (std::string line; std::getline(in, line);)
					if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
					    line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
						n += std::stoull(line.substr(line.find(':') + 1));
			}
			return n;
		};
		/* Past the -F deadline of the answered query, which must cost none. */
		std::this_thread::sleep_for(1500ms);
		uint64_t before = switches();
		std::this_thread::sleep_for(2s);
		EXPECT_EQ(switches() - before, 0u);
		stop_and_expect_clean_exit(SIGTERM);
	}
	EXPECT_EQ(tls.handshakes(), 1);
}

} // namespace
