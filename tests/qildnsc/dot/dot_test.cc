/*
 * dot_test.cc -- the real qildnsc binary with DNS over TLS servers: a real
 * TLS server from Debian (unbound) on loopback with a certificate of a
 * test CA made here, beside the fake plain servers. Answers through TLS
 * are judged like the others, and held only when they are the server's
 * failure; a certificate that does not check out, a server that cannot
 * be reached and a handshake that stalls each say so in the log while the
 * plain servers go on answering; a closed connection is opened again, and
 * a burst of queries shares one. Each form of entry reaches its server;
 * an answer too large for a datagram reaches a TCP client whole; a fake
 * server that closes after each handshake, trickles or answers under
 * strange IDs is given up and paused.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"
#include "closed_port.h"
#include "dns_client.h"
#include "dns_message.h"
#include "fake_http.h"
#include "fake_tls_server.h"
#include "fake_upstream.h"
#include "forwarder_process.h"
#include "process.h"
#include "tcp_client.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

namespace {

using Addresses = std::vector<std::string>;

const char *const unbound_bin = "/usr/sbin/unbound";

/* Runs a shell command in `dir`; true when it succeeded. */
bool
sh(const TmpDir &dir, const std::string &cmd)
{
	std::string full = "cd '" + dir.path() + "' && (" + cmd + ") >/dev/null 2>&1";
	return system(full.c_str()) == 0;
}

/* A test CA (ca.pem), a second one nobody trusts (other.pem) and the
 * server's certificate for "dot.test", 127.0.0.1 and ::1 signed by the
 * first. */
bool
make_certificates(const TmpDir &dir)
{
	const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
	return sh(dir, "openssl req -x509 " + key +
	    " -keyout ca.key -out ca.pem -days 2 -subj '/CN=test CA' && "
	    "openssl req -x509 " + key +
	    " -keyout other.key -out other.pem -days 2 -subj '/CN=other CA' && "
	    "printf 'subjectAltName=DNS:dot.test,IP:127.0.0.1,IP:::1\\n' > ext && "
	    "openssl req " + key + " -keyout srv.key -out srv.csr -subj '/CN=dot.test' && "
	    "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
	    "-out srv.pem -days 2 -extfile ext");
}

/* True once a TCP connect to 127.0.0.1:port succeeds. */
bool
tcp_listening(uint16_t port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in sa = make_sockaddr("127.0.0.1", port);
	bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
	close(fd);
	return ok;
}

/* A TCP listener on loopback that accepts nothing and says nothing: a
 * TLS server whose handshake never comes. */
class SilentListener {
public:
	SilentListener()
	{
		fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in sa = make_sockaddr("127.0.0.1", 0);
		socklen_t l = sizeof sa;
		if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
		    listen(fd_, 8) != 0 ||
		    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &l) != 0)
			throw std::runtime_error("silent listener");
		port_ = ntohs(sa.sin_port);
	}
	~SilentListener() { close(fd_); }
	uint16_t port() const { return port_; }

private:
	int fd_ = -1;
	uint16_t port_ = 0;
};

Script
answer(std::vector<dns::Record> recs)
{
	return [recs = std::move(recs)](const Received &r) {
		return std::vector<Reply>{{0ms, dns::build_answer(r.message, recs)}};
	};
}

class DotTest : public ::testing::Test {
protected:
	void
	SetUp() override
	{
		if (access(unbound_bin, X_OK) != 0)
			GTEST_SKIP() << "unbound is not installed (package unbound): no TLS server to test against";
		ASSERT_TRUE(make_certificates(dir_)) << "openssl could not make the test CA";
		config_ = std::make_unique<FakeHttpServer>(
		    HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})"));
	}

	void
	TearDown() override
	{
		if (fwd_) {
			fwd_->signal(SIGTERM);
			auto st = fwd_->wait(10s);
			err_ = fwd_->stderr_text();
			EXPECT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 0)
			    << "no clean exit after SIGTERM";
			expect_no_sanitizer_report(err_);
		}
		fwd_.reset();
		unbound_.reset();
		config_.reset();
		if (HasFailure())
			std::cerr << "---- qildnsc_stdout.txt ----\n" << log()
			          << "---- standard error ----\n" << err_ << "----\n";
	}

	/* unbound serving DNS over TLS on 127.0.0.1:<tls_port_> (or on the
	 * `interfaces` given, port `port`), closing connections idle for a
	 * second; its zone: "www" (two addresses), "one" (one), "blocked"
	 * (one on the blocklist of the tests); it refuses "refused.example". */
	void
	start_unbound(const std::vector<std::string> &interfaces = {}, uint16_t port = 0)
	{
		tls_port_ = port != 0 ? port : pick_udp_port();
		const std::string d = dir_.path();
		std::string listen;
		for (const std::string &i :
		     interfaces.empty() ? std::vector<std::string>{"127.0.0.1"} : interfaces)
			listen += "  interface: " + i + "@" + std::to_string(tls_port_) + "\n";
		write_file(dir_.file("unbound.conf"),
		    "server:\n" + listen +
		    "  tls-port: " + std::to_string(tls_port_) + "\n"
		    "  tls-service-key: \"" + d + "/srv.key\"\n"
		    "  tls-service-pem: \"" + d + "/srv.pem\"\n"
		    "  do-daemonize: no\n  username: \"\"\n  chroot: \"\"\n"
		    "  use-syslog: no\n  pidfile: \"\"\n  directory: \"" + d + "\"\n"
		    "  module-config: \"iterator\"\n"
		    "  tcp-idle-timeout: 1000\n"
		    "  local-zone: \"dot.example.\" static\n"
		    "  local-data: \"www.dot.example. 60 IN A 192.0.2.31\"\n"
		    "  local-data: \"www.dot.example. 60 IN A 192.0.2.32\"\n"
		    "  local-data: \"one.dot.example. 60 IN A 192.0.2.33\"\n"
		    "  local-data: \"blocked.dot.example. 60 IN A 192.0.2.66\"\n"
		    "  local-zone: \"refused.example.\" refuse\n");
		unbound_ = std::make_unique<Process>(
		    std::vector<std::string>{unbound_bin, "-d", "-c", dir_.file("unbound.conf")},
		    dir_.path());
		ASSERT_TRUE(wait_until([&] { return tcp_listening(tls_port_); }, 10s))
		    << "unbound did not listen: " << unbound_->stderr_text();
	}

	std::string
	tls_entry(const std::string &name = "dot.test") const
	{
		return "tls://127.0.0.1:" + std::to_string(tls_port_) + "#" + name;
	}

	void
	start(const std::string &list, std::vector<std::string> extra = {})
	{
		extra.insert(extra.begin(), {"-d", list});
		start_forwarder(dir_, extra, {config_->config_env()}, 10s, &fwd_, &err_, &port_);
	}

	/* The counters' report: the log once SIGUSR1 has written it. */
	std::string
	report()
	{
		fwd_->signal(SIGUSR1);
		EXPECT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), "median latency", 5s));
		return log();
	}

	std::string log() const { return read_log(dir_.file("qildnsc_stdout.txt")); }

	TmpDir dir_;
	/* Made in SetUp(): in the network namespace of the test. */
	std::unique_ptr<FakeHttpServer> config_;
	std::unique_ptr<Process> unbound_;
	std::unique_ptr<Process> fwd_;
	std::string err_;
	uint16_t port_ = 0;
	uint16_t tls_port_ = 0;
};

TEST_F(DotTest, AnswersAreJudgedLikeOthersButNeverHeld)
{
	start_unbound();
	ASSERT_FALSE(HasFatalFailure());
	write_file(dir_.file("blocklist.txt"), "192.0.2.66\n");
	start(tls_entry(), {"-T", "ca.pem", "-b", "blocklist.txt"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	struct Row {
		const char *name;
		Addresses want; /* empty: no answer reaches the client */
		bool refused = false; /* the answer is REFUSED */
	};
	const Row rows[] = {
	    {"www.dot.example", {"192.0.2.31", "192.0.2.32"}},
	    /* A single address is not held: no forger overtakes TLS. */
	    {"one.dot.example", {"192.0.2.33"}},
	    {"blocked.dot.example", {}},
	    /* A refusal is held all the same, for a better answer to overtake. */
	    {"refused.example", {}, true},
	};
	uint16_t id = 0x4100;
	for (const Row &r : rows) {
		SCOPED_TRACE(r.name);
		ASSERT_TRUE(c.send(dns::build_query(++id, r.name, dns::TYPE_A)));
		auto got = c.collect_until(1, r.want.empty() && !r.refused ? 1s : 5s);
		if (r.refused) {
			ASSERT_EQ(got.size(), 1u);
			EXPECT_EQ(dns::message_flags(got[0].data) & 0xf, 5);
			continue;
		}
		if (r.want.empty()) {
			EXPECT_TRUE(got.empty());
			continue;
		}
		ASSERT_EQ(got.size(), 1u);
		EXPECT_EQ(dns::message_id(got[0].data), id);
		Addresses a = dns::answer_addresses(got[0].data);
		std::sort(a.begin(), a.end());
		EXPECT_EQ(a, r.want);
	}
	const std::string lg = report();
	for (const char *line : {"answers relayed at once: 2", "answers held: 1",
	         "answers dropped: blocklisted address: 1"})
		EXPECT_EQ(count_of(lg, line), 1u) << line;
}

TEST_F(DotTest, TlsAnswerOvertakesAHeldPlainOneOverUdpAndTcp)
{
	start_unbound();
	ASSERT_FALSE(HasFatalFailure());
	FakeUpstream plain("127.0.0.2", false, answer({dns::a_record("192.0.2.99")}));
	start(tls_entry() + "," + plain.list_entry(), {"-T", "ca.pem"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	/* The connection first, so that the handshake is not what is timed. */
	ASSERT_TRUE(c.send(dns::build_query(1, "www.dot.example", dns::TYPE_A)));
	ASSERT_EQ(c.collect_until(1, 5s).size(), 1u);

	/* The client's one answer: the plain one, held, is never sent. */
	ASSERT_TRUE(c.send(dns::build_query(2, "one.dot.example", dns::TYPE_A)));
	auto got = c.collect_until(2, 1s);
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(dns::answer_addresses(got[0].data), Addresses{"192.0.2.33"});

	/* Over TCP the one reply is the first usable answer: TLS's, while
	 * the plain server's is held. */
	TcpClient t("127.0.0.1", port_);
	ASSERT_TRUE(t.connected());
	ASSERT_TRUE(t.send_message(dns::build_query(3, "one.dot.example", dns::TYPE_A)));
	auto reply = t.receive(5s);
	ASSERT_TRUE(reply);
	EXPECT_EQ(dns::message_id(*reply), 3);
	EXPECT_EQ(dns::answer_addresses(*reply), Addresses{"192.0.2.33"});
}

/* The cache keeps the verified answer its client took, not the plain
 * server's later one, which says it may live a day. */
TEST_F(DotTest, CacheKeepsTheVerifiedAnswerOverALaterPlainOne)
{
	start_unbound();
	ASSERT_FALSE(HasFatalFailure());
	FakeUpstream plain("127.0.0.2", false, [](const Received &r) {
		return std::vector<Reply>{{300ms, dns::build_answer(r.message,
		    {dns::a_record("192.0.2.98"), dns::a_record("192.0.2.99")}, 86400)}};
	});
	start(tls_entry() + "," + plain.list_entry(), {"-T", "ca.pem", "-C", "100"});
	ASSERT_FALSE(HasFatalFailure());
	const Addresses verified{"192.0.2.31", "192.0.2.32"};
	/* unbound turns its records round: the set is what counts. */
	auto set = [](Addresses a) {
		std::sort(a.begin(), a.end());
		return a;
	};
	DnsClient c(port_);
	ASSERT_TRUE(c.send(dns::build_query(1, "www.dot.example", dns::TYPE_A)));
	auto got = c.collect(1s);
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(set(dns::answer_addresses(got[0].data)), verified);
	for (uint16_t id : {2, 3}) {
		ASSERT_TRUE(c.send(dns::build_query(id, "www.dot.example", dns::TYPE_A)));
		auto hit = c.collect_until(1, 200ms);
		ASSERT_EQ(hit.size(), 1u) << "answered at once, from the cache";
		EXPECT_EQ(set(dns::answer_addresses(hit[0].data)), verified);
	}
	/* Over TCP too: the reply a TCP client takes is the verified one. */
	TcpClient t("127.0.0.1", port_);
	ASSERT_TRUE(t.connected());
	ASSERT_TRUE(t.send_message(dns::build_query(4, "www.dot.example", dns::TYPE_A)));
	auto reply = t.receive(5s);
	ASSERT_TRUE(reply);
	EXPECT_EQ(set(dns::answer_addresses(*reply)), verified);
}

/* A TLS server that fails, beside a plain one whose answers go on. */
struct FailRow {
	std::string name;
	enum { WRONG_NAME, UNKNOWN_CA, UNREACHABLE, STALLED } kind;
	const char *line; /* what the log says */
};

class DotFailTest : public DotTest, public ::testing::WithParamInterface<FailRow> {};

TEST_P(DotFailTest, OneLineWithItsReasonAndThePlainServersGoOn)
{
	const FailRow &row = GetParam();
	ClosedPort closed;
	SilentListener silent;
	std::string entry;
	std::vector<std::string> extra = {"-T", "ca.pem"};
	switch (row.kind) {
	case FailRow::WRONG_NAME:
		start_unbound();
		entry = tls_entry("wrong.test");
		break;
	case FailRow::UNKNOWN_CA:
		start_unbound();
		entry = tls_entry();
		extra = {"-T", "other.pem"};
		break;
	case FailRow::UNREACHABLE:
		entry = "tls://" + closed.host() + "#dot.test";
		break;
	case FailRow::STALLED:
		entry = "tls://127.0.0.1:" + std::to_string(silent.port()) + "#dot.test";
		break;
	}
	ASSERT_FALSE(HasFatalFailure());
	FakeUpstream plain("127.0.0.2", false,
	    answer({dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")}));
	start(entry + "," + plain.list_entry(), extra);
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	ASSERT_TRUE(c.send(dns::build_query(0x5151, "www.dot.example", dns::TYPE_A)));
	auto got = c.collect_until(1, 5s);
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(dns::answer_addresses(got[0].data), (Addresses{"192.0.2.1", "192.0.2.2"}));
	if (row.kind == FailRow::STALLED) {
		EXPECT_EQ(count_of(log(), row.line), 0u) << "the plain answer waited for the stall";
	}
	ASSERT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), row.line, 10s));
	/* Nothing from the failed server reaches the client. */
	EXPECT_TRUE(c.collect(300ms).empty());
	EXPECT_EQ(count_of(log(), row.line), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DotFailTest,
    ::testing::Values(
        FailRow{"WrongName", FailRow::WRONG_NAME,
            "certificate refused: The certificate is NOT trusted. The name in the certificate does not match"},
        FailRow{"UnknownCa", FailRow::UNKNOWN_CA,
            "certificate refused: The certificate is NOT trusted. The certificate issuer is unknown"},
        FailRow{"Unreachable", FailRow::UNREACHABLE, "(dot.test): cannot connect: Connection refused"},
        FailRow{"StalledHandshake", FailRow::STALLED, "(dot.test): handshake stalled"}),
    CaseName());

TEST_F(DotTest, ClosedConnectionIsOpenedAgainAndResumed)
{
	start_unbound();
	ASSERT_FALSE(HasFatalFailure());
	start(tls_entry(), {"-T", "ca.pem"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	ASSERT_TRUE(c.send(dns::build_query(1, "www.dot.example", dns::TYPE_A)));
	ASSERT_EQ(c.collect_until(1, 5s).size(), 1u);
	/* unbound closes a connection idle for a second; each query after
	 * a longer pause must still be answered, on a new connection. */
	uint16_t id = 1;
	ASSERT_TRUE(wait_until([&] {
		std::this_thread::sleep_for(1200ms);
		if (!c.send(dns::build_query(++id, "www.dot.example", dns::TYPE_A)) ||
		    c.collect_until(1, 3s).size() != 1)
			return false;
		return count_of(report(), "DNS over TLS: connections made: 2") > 0;
	}, 15s));
	EXPECT_EQ(count_of(log(), "QILEC_01030"), 0u) << "a query was lost with the connection";
	EXPECT_EQ(count_of(log(), "DNS over TLS: sessions resumed: 1"), 1u) << "no session resumed";
}

TEST_F(DotTest, TwoHundredPipelinedQueriesEachGetTheirOwnAnswer)
{
	start_unbound();
	ASSERT_FALSE(HasFatalFailure());
	start(tls_entry(), {"-T", "ca.pem"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	for (uint16_t id = 1; id <= 200; id++)
		ASSERT_TRUE(c.send(dns::build_query(id, id % 2 ? "www.dot.example" : "one.dot.example",
		    dns::TYPE_A)));
	auto got = c.collect_until(200, 15s);
	ASSERT_EQ(got.size(), 200u);
	std::set<uint16_t> ids;
	for (const auto &d : got) {
		uint16_t id = dns::message_id(d.data);
		ids.insert(id);
		EXPECT_EQ(dns::answer_addresses(d.data).size(), id % 2 ? 2u : 1u) << "ID " << id;
	}
	EXPECT_EQ(ids.size(), 200u);
	EXPECT_EQ(count_of(report(), "DNS over TLS: connections made: 1"), 1u);
}

/* An answer longer than a datagram: whole to a TCP client, in its
 * truncated form to a UDP client, as any server's. */
TEST_F(DotTest, LargeAnswerReachesATcpClientWhole)
{
	FakeTlsServer tls(FakeTlsServer::Mode::Answer,
	    [](const dns::Bytes &q) { return dns::build_answer(q, {dns::txt_record(5000)}); },
	    dir_.file("srv.pem"), dir_.file("srv.key"));
	start(tls.entry("dot.test"), {"-T", "ca.pem"});
	ASSERT_FALSE(HasFatalFailure());

	const struct {
		const char *name;
		bool tcp;
	} rows[] = {{"over TCP: whole", true}, {"over UDP, EDNS 4096: truncated", false}};
	uint16_t id = 0x6100;
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		dns::Bytes q = dns::with_edns(dns::build_query(++id, "big.dot.example", dns::TYPE_TXT),
		    4096);
		std::optional<dns::Bytes> reply;
		if (r.tcp) {
			TcpClient t("127.0.0.1", port_);
			ASSERT_TRUE(t.connected());
			ASSERT_TRUE(t.send_message(q));
			reply = t.receive(5s);
		} else {
			DnsClient c(port_);
			ASSERT_TRUE(c.send(q));
			auto got = c.collect_until(1, 5s);
			if (!got.empty())
				reply = got[0].data;
		}
		ASSERT_TRUE(reply);
		EXPECT_EQ(dns::message_id(*reply), id);
		EXPECT_EQ((dns::message_flags(*reply) & dns::FLAG_TC) != 0, !r.tcp);
		EXPECT_EQ(dns::message_ancount(*reply), r.tcp ? 1 : 0);
		if (r.tcp) {
			EXPECT_GT(reply->size(), 5000u);
		}
	}
}

/* A TLS server that takes handshakes but answers nothing usable, beside
 * a plain one: given up with a line saying why and paused, not reopened
 * for every query. */
struct AbuseRow {
	std::string name;
	FakeTlsServer::Mode mode;
	const char *line;
};

class DotAbuseTest : public DotTest, public ::testing::WithParamInterface<AbuseRow> {};

TEST_P(DotAbuseTest, ServerIsGivenUpAndPaused)
{
	const AbuseRow &row = GetParam();
	FakeTlsServer tls(row.mode, {}, dir_.file("srv.pem"), dir_.file("srv.key"));
	FakeUpstream plain("127.0.0.2", false,
	    answer({dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")}));
	start(tls.entry("dot.test") + "," + plain.list_entry(), {"-T", "ca.pem"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);

	/* Five seconds of queries, 50 a second. */
	size_t sent = 0, answered = 0;
	auto until = Clock::now() + 5s;
	for (uint16_t id = 1; id <= 400 && Clock::now() < until; id++) {
		ASSERT_TRUE(c.send(dns::build_query(id, "www.dot.example", dns::TYPE_A)));
		sent++;
		answered += c.collect(20ms).size();
	}
	answered += c.collect_until(sent - std::min(sent, answered), 5s).size();
	EXPECT_EQ(answered, sent) << "the plain server's answers must go on";
	EXPECT_GE(tls.handshakes(), 1);
	EXPECT_LE(tls.handshakes(), 20) << "reconnected for the queries";
	EXPECT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), "DNS over TLS server 127.0.0.1:" +
	    std::to_string(tls.port()) + " " + row.line, 10s)) << log();
	EXPECT_EQ(count_of(report(),
	    "DNS over TLS: connections given up (no answer, a stalled answer, stray answers): 0"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DotAbuseTest,
    ::testing::Values(
        AbuseRow{"ClosesAfterEachHandshake", FakeTlsServer::Mode::CloseAfterHandshake,
            "(dot.test): connection ended before any answer: "},
        AbuseRow{"Trickles", FakeTlsServer::Mode::Trickle,
            "(dot.test): answer stalled: no whole answer 3 s after its first byte; next try in "},
        AbuseRow{"AnswersUnderWrongIds", FakeTlsServer::Mode::WrongIds,
            "(dot.test): answers to no query: 8 answers in a row under IDs of no query in flight; next try in "}),
    CaseName());

/* Each form of entry, against unbound on port 853 of the addresses of a
 * network namespace of the test's own; without a name, the certificate
 * must hold the address. */
struct EntryRow {
	std::string name;
	std::string entry;
	const char *refusal; /* what the log says, or nullptr: answered */
};

class DotEntryTest : public DotTest, public ::testing::WithParamInterface<EntryRow> {
protected:
	void
	SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP() << "needs root: port 853 in a network namespace of its own";
		home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
		if (home_ < 0 || unshare(CLONE_NEWNET) != 0)
			GTEST_SKIP() << "cannot create a network namespace: " << strerror(errno);
		if (system("ip link set lo up") != 0)
			GTEST_SKIP() << "cannot bring up the namespace's loopback (ip)";
		DotTest::SetUp();
	}

	void
	TearDown() override
	{
		DotTest::TearDown();
		if (home_ >= 0) {
			EXPECT_EQ(setns(home_, CLONE_NEWNET), 0) << strerror(errno);
			close(home_);
		}
	}

	int home_ = -1;
};

TEST_P(DotEntryTest, ReachesItsServer)
{
	const EntryRow &row = GetParam();
	start_unbound({"127.0.0.1", "127.0.0.2", "::1"}, 853);
	ASSERT_FALSE(HasFatalFailure());
	start(row.entry, {"-T", "ca.pem"});
	ASSERT_FALSE(HasFatalFailure());
	DnsClient c(port_);
	ASSERT_TRUE(c.send(dns::build_query(0x7171, "www.dot.example", dns::TYPE_A)));
	auto got = c.collect_until(1, row.refusal != nullptr ? 1s : 5s);
	if (row.refusal != nullptr) {
		EXPECT_TRUE(got.empty());
		EXPECT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), row.refusal, 5s)) << log();
		return;
	}
	ASSERT_EQ(got.size(), 1u) << log();
	Addresses a = dns::answer_addresses(got[0].data);
	std::sort(a.begin(), a.end());
	EXPECT_EQ(a, (Addresses{"192.0.2.31", "192.0.2.32"}));
}

INSTANTIATE_TEST_SUITE_P(Forms, DotEntryTest,
    ::testing::Values(
        EntryRow{"Address", "tls://127.0.0.1", nullptr},
        EntryRow{"AddressPort", "tls://127.0.0.1:853", nullptr},
        EntryRow{"AddressPortName", "tls://127.0.0.1:853#dot.test", nullptr},
        EntryRow{"V6Port", "tls://[::1]:853", nullptr},
        EntryRow{"V6PortName", "tls://[::1]:853#dot.test", nullptr},
        EntryRow{"AddressNotInCertificate", "tls://127.0.0.2:853",
            "(127.0.0.2): certificate refused: The certificate is NOT trusted. The name in the certificate does not match"}),
    CaseName());

} // namespace
