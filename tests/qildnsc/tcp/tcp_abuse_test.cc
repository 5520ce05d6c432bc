/*
 * tcp_abuse_test.cc -- DNS over TCP beside clients that hold connections
 * without being served: readers that stop reading their answers,
 * tricklers that never finish a message, more connections from one address
 * off the loopback than it may have. The real forwarder on loopback, with
 * one fake server over TCP; the abusers come from 127.0.0.x addresses of
 * their own, or from an address of a network namespace of the test's.
 *
 * Linked into forwarder_test, so that the Windows build runs it too.
 */
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <iostream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "dns_message.h"
#include "fake_http.h"
#include "fake_tcp_upstream.h"
#include "forwarder_process.h"
#include "process.h"
#include "tcp_client.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

namespace {

using Clients = std::vector<std::unique_ptr<TcpClient>>;

class TcpAbuseTest : public ::testing::Test {
protected:
	void
	TearDown() override
	{
		if (fwd_ && !testing_windows_build()) {
			fwd_->signal(SIGTERM);
			auto st = fwd_->wait(10s);
			EXPECT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 0);
			expect_no_sanitizer_report(fwd_->stderr_text());
		}
		fwd_.reset();
		if (HasFailure())
			std::cerr << "---- qildnsc_stdout.txt ----\n" << read_log(dir_.file(
			    "qildnsc_stdout.txt")) << "----\n";
	}

	/* The forwarder with `up` on 127.0.0.2 as its one server. */
	void
	start(const FakeTcpUpstream &up)
	{
		start_forwarder(dir_, {"-d", "127.0.0.2:" + std::to_string(up.port())},
		    {config_.config_env()}, 10s, &fwd_, &err_, &port_);
		/* The TCP listener comes up just after the datagram one. */
		ASSERT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), "over TCP"));
	}

	/* `n` connections from 127.0.0.<octet>. */
	void
	connect(Clients *cs, int octet, int n)
	{
		for (int i = 0; i < n; i++) {
			cs->push_back(std::make_unique<TcpClient>("127.0.0.1", port_, 5s,
			    "127.0.0." + std::to_string(octet)));
			ASSERT_TRUE(cs->back()->connected()) << octet;
		}
	}

	TmpDir dir_;
	FakeHttpServer config_{HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})")};
	std::unique_ptr<Process> fwd_;
	std::string err_;
	uint16_t port_ = 0;
};

/* Which of `cs` the server has closed (or reset) by now: 1, else 0. */
std::string
closed_map(const Clients &cs)
{
	std::string s;
	for (const auto &c : cs)
		s += c->hung_up(0ms) ? '1' : '0';
	return s;
}

/* `n` connections from 127.0.0.<octet>, each pipelining 20 questions for
 * answers of 60,000 bytes and reading none. */
void
stall(Clients *cs, int octet, int n, uint16_t port)
{
	dns::Bytes all;
	for (uint16_t k = 0; k < 20; k++) {
		auto f = tcp_frame(dns::build_query(k, "big-" + std::to_string(k) + ".test",
		    dns::TYPE_TXT));
		all.insert(all.end(), f.begin(), f.end());
	}
	for (int i = 0; i < n; i++) {
		cs->push_back(std::make_unique<TcpClient>("127.0.0.1", port, 5s,
		    "127.0.0." + std::to_string(octet)));
		(void)cs->back()->send_raw(all); /* a refused one may be gone already */
	}
}

/*
 * 64 stalled readers, eight from each of eight addresses, fill every slot
 * with answers they do not take; then 64 tricklers, eight from each of
 * eight more addresses, each sending a byte of a message a second. A
 * newcomer still gets its answer at once: a connection that takes none of
 * its answers makes room when none is idle, and a trickler at its heels
 * does not take its place. Then every abuser is closed in time.
 */
TEST_F(TcpAbuseTest, AbusersLeaveRoomForOthersAndAreClosedInTime)
{
	FakeTcpUpstream up("127.0.0.2", [](const Received &r) {
		auto q = dns::first_question(r.message);
		std::vector<dns::Record> recs{dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")};
		if (q && q->name.starts_with("big-"))
			recs = {dns::txt_record(60000)};
		return std::vector<Reply>{{0ms, dns::build_answer(r.message, recs)}};
	});
	start(up);
	ASSERT_FALSE(HasFatalFailure());

	Clients stalled;
	for (int a = 0; a < 8; a++)
		stall(&stalled, 20 + a, 8, port_);
	/* Stalled once the server hears no more of their queries. */
	size_t heard = 0;
	EXPECT_TRUE(wait_until([&] {
		size_t n = up.received_count();
		std::this_thread::sleep_for(1s);
		return n > 0 && std::exchange(heard, up.received_count()) == n;
	}, 30s)) << up.received_count();
	EXPECT_EQ(closed_map(stalled), std::string(stalled.size(), '0'));

	Clients tricklers;
	for (int a = 0; a < 8; a++)
		connect(&tricklers, 40 + a, 8);
	ASSERT_FALSE(HasFatalFailure());
	std::jthread trickle([&](std::stop_token stop) {
		for (int s = 0; s < 20 && !stop.stop_requested(); s++) {
			for (auto &c : tricklers)
				(void)c->send_raw(dns::Bytes{static_cast<uint8_t>(s == 0 ? 0 : 0x55)});
			for (int t = 0; t < 10 && !stop.stop_requested(); t++)
				std::this_thread::sleep_for(100ms);
		}
	});
	/* A newcomer with its query, and at its heels one more trickler, both
	 * taken in one turn: the trickler must not take the place of the
	 * newcomer whose query has not been read yet. The system completes
	 * both handshakes while the forwarder is stopped. */
	fwd_->signal(SIGSTOP);
	TcpClient fresh("127.0.0.1", port_);
	bool sent = fresh.send_message(dns::build_query(0x0f0f, "fresh.test", dns::TYPE_A));
	Clients late;
	connect(&late, 48, 1);
	fwd_->signal(SIGCONT);
	ASSERT_TRUE(sent);
	ASSERT_FALSE(HasFatalFailure());
	auto t0 = Clock::now();
	auto got = fresh.receive(1s);
	EXPECT_LE(Clock::now() - t0, 1s);
	ASSERT_TRUE(got) << "no answer within 1 s";
	EXPECT_EQ(dns::answer_addresses(*got).size(), 2u);

	/* The message deadline: 10 s from a message's first byte, for a
	 * trickler that nobody displaces. */
	trickle.request_stop();
	trickle.join();
	Clients lone;
	connect(&lone, 50, 1);
	ASSERT_FALSE(HasFatalFailure());
	auto first_byte = Clock::now();
	/* A length of 0x0055, then one byte of the message a second. */
	for (int s = 0; s < 20 && !lone[0]->hung_up(1s); s++)
		ASSERT_TRUE(lone[0]->send_raw(dns::Bytes{static_cast<uint8_t>(s == 0 ? 0 : 0x55)}));
	EXPECT_TRUE(lone[0]->hung_up(0ms)) << "open 20 s after its first byte";
	EXPECT_GE(Clock::now() - first_byte, 9s);
	/* Tricklers that no newcomer displaced, by then too. */
	EXPECT_EQ(closed_map(tricklers), std::string(tricklers.size(), '1'));
	/* The write deadline: 10 s without taking any of what is written. */
	for (size_t i = 0; i < stalled.size(); i++)
		EXPECT_TRUE(stalled[i]->hung_up(15s)) << "stalled reader " << i;
}

/*
 * Eight connections from one address off the loopback, and a ninth closed
 * unanswered; from the loopback, where every local application comes from,
 * more than eight, all served. In a network namespace of the test's own:
 * the forwarder, its servers and its clients, with an address 198.18.0.20
 * on its loopback interface (root only).
 */
TEST_F(TcpAbuseTest, OnlyAnAddressOffTheLoopbackIsLimitedPerAddress)
{
#if !defined(__linux__)
	GTEST_SKIP() << "network namespaces are Linux's";
#else
	if (geteuid() != 0)
		GTEST_SKIP() << "a network namespace needs root";
	if (testing_windows_build())
		GTEST_SKIP() << "Wine's sockets are its wineserver's, in the namespace it started in";
	std::string skip;
	/* The namespace is this thread's alone, and its children's. */
	std::thread([&] {
		if (unshare(CLONE_NEWNET) != 0) {
			skip = std::string("cannot create a network namespace: ") + strerror(errno);
			return;
		}
		if (system("ip link set lo up >/dev/null 2>&1 && "
		           "ip addr add 198.18.0.20/32 dev lo >/dev/null 2>&1") != 0) {
			skip = "cannot set up the namespace's loopback (ip)";
			return;
		}
		FakeHttpServer config(HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})"));
		FakeTcpUpstream up("127.0.0.2", [](const Received &r) {
			return std::vector<Reply>{{0ms, dns::build_answer(r.message,
			    {dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")})}};
		});
		start_forwarder(dir_, {"-d", "127.0.0.2:" + std::to_string(up.port())},
		    {config.config_env()}, 10s, &fwd_, &err_, &port_);
		ASSERT_TRUE(fwd_);
		ASSERT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), "over TCP"));
		const struct {
			const char *from;
			int n, served;
		} rows[] = {{"198.18.0.20", 9, 8}, {"127.0.0.1", 12, 12}};
		for (const auto &row : rows) {
			SCOPED_TRACE(row.from);
			Clients cs;
			for (int i = 0; i < row.n; i++)
				cs.push_back(std::make_unique<TcpClient>("127.0.0.1", port_, 5s, row.from));
			for (int i = 0; i < row.n; i++) {
				bool sent = cs[i]->send_message(dns::build_query((uint16_t)i, "many.test",
				    dns::TYPE_A));
				auto got = sent ? cs[i]->receive(5s) : std::nullopt;
				EXPECT_EQ(got.has_value(), i < row.served) << "connection " << i;
			}
		}
		EXPECT_EQ(count_of(read_log(dir_.file("qildnsc_stdout.txt")),
		    "QILEC_00832: Too many TCP clients from one address (8): connection from "
		    "198.18.0.20:"), 1u);
		/* Its servers end with this thread. */
		fwd_->signal(SIGTERM);
		auto st = fwd_->wait(10s);
		EXPECT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 0);
		fwd_.reset();
	}).join();
	if (!skip.empty())
		GTEST_SKIP() << skip;
#endif
}

} // namespace
