/*
 * diversion_test.cc -- diversion mode end to end, inside a network
 * namespace of the test's own: applications ask "servers" on a veth
 * interface of that namespace, and the forwarder answers in their place.
 *
 * Needs root (a namespace, iptables, a netfilter queue); elsewhere every
 * test skips with the reason. Nothing can leave the namespace: it has no
 * interface but loopback and a veth pair whose both ends it owns.
 */
#include <errno.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <string.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dns_client.h"
#include "dns_message.h"
#include "fake_http.h"
#include "fake_tcp_upstream.h"
#include "fake_upstream.h"
#include "fd.h"
#include "forwarder_process.h"
#include "process.h"
#include "tcp_client.h"
#include "tmpdir.h"

namespace {

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

/* Runs a command quietly; true when it exits with status 0. */
bool
sh(const std::string &cmd)
{
	return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

/* The server addresses applications ask; local to the namespace. */
const char *const kServerA = "192.0.2.53";
const char *const kServerB = "192.0.2.54";
const char *const kClientA = "192.0.2.1";
const char *const kClientB = "192.0.2.2";

/* Answers with two A records naming `tag`, so the forwarder relays them
 * at once. */
Script
answer_with(const std::string &tag)
{
	return [tag](const Received &r) {
		return std::vector<Reply>{{0ms,
		    dns::build_answer(r.message, {dns::a_record(tag), dns::a_record(tag)}),
		    Reply::Via::Normal}};
	};
}

class Diversion : public ::testing::Test {
protected:
	void
	SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP() << "diversion needs root (namespaces, iptables, netfilter queues)";
		if (unshare(CLONE_NEWNET) != 0)
			GTEST_SKIP() << "cannot create a network namespace: " << strerror(errno);
		if (!sh("ip link set lo up") ||
		    !sh("ip link add qil0 type veth peer name qil1") ||
		    !sh("ip link set qil0 up") || !sh("ip link set qil1 up") ||
		    !sh(std::string("ip addr add ") + kClientA + "/24 dev qil0") ||
		    !sh(std::string("ip addr add ") + kClientB + "/32 dev qil0") ||
		    !sh(std::string("ip addr add ") + kServerA + "/32 dev qil0") ||
		    !sh(std::string("ip addr add ") + kServerB + "/32 dev qil0"))
			GTEST_SKIP() << "cannot set up the namespace's interfaces (ip, veth)";
		if (!sh("iptables -w -t mangle -S"))
			GTEST_SKIP() << "iptables is not usable here";

		/* What applications reach when nothing diverts them. */
		direct_a_ = std::make_unique<FakeUpstream>(kServerA, false, answer_with("10.0.0.53"), 53);
		direct_b_ = std::make_unique<FakeUpstream>(kServerB, false, answer_with("10.0.0.54"), 53);
		/* The forwarder's own upstream, on port 53 too: its packets are
		 * marked, so they are never diverted back to it. */
		upstream_ = std::make_unique<FakeUpstream>("127.0.0.2", false, answer_with("10.0.0.2"), 53);
		config_ = std::make_unique<FakeHttpServer>(
		    HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})"));
		started_ = true;
	}

	void
	TearDown() override
	{
		if (fwd_ && fwd_->running()) {
			fwd_->signal(SIGTERM);
			(void)fwd_->wait(10s);
		}
		if (HasFailure() && started_) {
			std::cerr << "---- qildnsc_stdout.txt ----\n" << log()
			          << "---- standard error ----\n" << (fwd_ ? fwd_->stderr_text() : "")
			          << "---- rules ----\n";
			(void)system("iptables -w -t mangle -S >&2");
		}
		fwd_.reset();
	}

	/* Starts the forwarder in diversion mode; false when the queue cannot
	 * be had here (the reason is in the log). */
	bool
	start_forwarder(const std::string &iptables = "",
	                const std::vector<std::string> &args = {"-d", "127.0.0.2:53"},
	                const std::string &ready = "Diverting DNS packets",
	                const std::vector<std::string> &wrapper = {})
	{
		std::filesystem::remove(dir_.file("qildnsc_stdout.txt"));
		std::vector<std::string> env{config_->config_env()};
		if (!iptables.empty())
			env.push_back("QILDNSC_IPTABLES=" + iptables);
		std::vector<std::string> argv = wrapper;
		argv.push_back(QILDNSC_BINARY);
		argv.insert(argv.end(), args.begin(), args.end());
		fwd_ = std::make_unique<Process>(argv, dir_.path(), env);
		bool settled = wait_until([&] {
			std::string l = log();
			return l.find(ready) != std::string::npos ||
			    l.find("Failed to open the WinDivert device") != std::string::npos ||
			    !fwd_->running();
		}, 15s);
		EXPECT_TRUE(settled) << "no diversion line in the log";
		return log().find(ready) != std::string::npos;
	}

	/* Ends the forwarder with `sig`: status 0, and no rule of ours left. */
	void
	stop_and_expect_no_rule(int sig)
	{
		fwd_->signal(sig);
		auto st = fwd_->wait(10s);
		ASSERT_TRUE(st);
		EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
		EXPECT_EQ(jumps_to_chain(), 0);
		EXPECT_FALSE(sh("iptables -w -t mangle -S QILDNSC")) << "the chain must be gone";
	}

	/* What the shell command `cmd` prints on standard output. */
	static std::string
	output_of(const std::string &cmd)
	{
		std::string out;
		FILE *p = popen(cmd.c_str(), "r");
		if (p == nullptr)
			return out;
		char buf[512];
		for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
			out.append(buf, n);
		pclose(p);
		return out;
	}

	std::string log() const { return read_file(dir_.file("qildnsc_stdout.txt")); }

	/* The peer: a namespace of its own holding qil1. */
	void
	move_qil1_to_peer()
	{
		home_.emplace(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
		ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
		peer_.emplace(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
		ASSERT_EQ(setns(home_->get(), CLONE_NEWNET), 0) << strerror(errno);
		ASSERT_TRUE(sh("ip link set qil1 netns /proc/" + std::to_string(getpid()) + "/fd/" +
		    std::to_string(peer_->get())));
	}

	/* Runs `f` on this thread in the peer's namespace; sockets made there
	 * stay there. */
	void
	in_peer(const std::function<void()> &f)
	{
		ASSERT_EQ(setns(peer_->get(), CLONE_NEWNET), 0) << strerror(errno);
		f();
		ASSERT_EQ(setns(home_->get(), CLONE_NEWNET), 0) << strerror(errno);
	}

	/* One query from `client` to `server`:53; the answer's A records and
	 * the address it came from. */
	struct Answer {
		std::vector<std::string> addresses;
		std::string from;
		bool id_ok = false;
	};
	static std::optional<Answer>
	ask(const char *client, const char *server, uint16_t id, const std::string &name)
	{
		UdpSocket s(client, 0);
		auto q = dns::build_query(id, name, 1);
		if (!s.send_to(server, 53, q))
			return std::nullopt;
		auto d = s.receive(5s);
		if (!d)
			return std::nullopt;
		return Answer{dns::answer_addresses(d->data), sockaddr_text(d->from),
		    dns::message_id(d->data) == id};
	}

	static int
	jumps_to_chain(const std::string &iptables = "iptables", const std::string &table = "mangle")
	{
		int n = 0;
		std::string cmd = iptables + " -w -t " + table +
		    " -S OUTPUT 2>/dev/null | grep -c -- '-j QILDNSC'";
		FILE *p = popen(cmd.c_str(), "r");
		if (p != nullptr) {
			if (fscanf(p, "%d", &n) != 1)
				n = 0;
			pclose(p);
		}
		return n;
	}

	TmpDir dir_;
	bool started_ = false;
	std::unique_ptr<FakeUpstream> direct_a_, direct_b_, upstream_;
	std::unique_ptr<FakeHttpServer> config_;
	std::unique_ptr<Process> fwd_;
	std::optional<Fd> home_, peer_; /* the namespaces of qil0 and qil1 */
};

TEST_F(Diversion, ApplicationsAreAnsweredThroughTheForwarder)
{
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();

	auto a = ask(kClientA, kServerA, 0x1234, "www.example.com");
	ASSERT_TRUE(a) << "no answer through the forwarder";
	EXPECT_EQ(a->from, std::string(kServerA) + ":53") << "the reply must seem to come "
	                                                     "from the server asked";
	EXPECT_TRUE(a->id_ok);
	EXPECT_EQ(a->addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.2"}))
	    << "the answer must come from the forwarder's upstream";
	EXPECT_EQ(direct_a_->received_count(), 0u) << "the query must not reach the server asked";
	EXPECT_EQ(upstream_->received_count(), 1u)
	    << "the forwarder's own query must reach its upstream once, not loop";
	/* An upstream on the loopback would loop if it asked on port 53. */
	EXPECT_NE(log().find("[WARN]  QILEC_01053: DNS server 127.0.0.2:53 is a resolver on "
	                     "this machine: "), std::string::npos) << log();

	if (system("command -v dig >/dev/null 2>&1") == 0) {
		FILE *p = popen("dig @192.0.2.53 -b 192.0.2.1 dig.example.com A +short +tries=1 +time=5", "r");
		ASSERT_NE(p, nullptr);
		char line[128] = {};
		std::string out;
		while (fgets(line, sizeof line, p) != nullptr)
			out += line;
		pclose(p);
		EXPECT_EQ(out, "10.0.0.2\n10.0.0.2\n") << "dig through diversion";
	}
}

TEST_F(Diversion, TwoApplicationsAskingTwoServersBothGetTheirAnswers)
{
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();

	std::optional<Answer> a, b;
	std::thread ta([&] { a = ask(kClientA, kServerA, 0x1111, "a.example.com"); });
	std::thread tb([&] { b = ask(kClientB, kServerB, 0x2222, "b.example.com"); });
	ta.join();
	tb.join();
	ASSERT_TRUE(a && b);
	EXPECT_EQ(a->from, std::string(kServerA) + ":53");
	EXPECT_EQ(b->from, std::string(kServerB) + ":53");
	EXPECT_TRUE(a->id_ok && b->id_ok);
	EXPECT_EQ(a->addresses.size(), 2u);
	EXPECT_EQ(b->addresses.size(), 2u);
}

TEST_F(Diversion, RulesGoAtExitAndQueriesPassStraightWhenTheForwarderIsGone)
{
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	EXPECT_EQ(jumps_to_chain(), 1);

	/* Killed outright: the rules stay, but they fail open. */
	fwd_->signal(SIGKILL);
	ASSERT_TRUE(fwd_->wait(10s));
	EXPECT_EQ(jumps_to_chain(), 1);
	auto a = ask(kClientA, kServerA, 0x4321, "open.example.com");
	ASSERT_TRUE(a) << "with nobody at the queue, DNS must pass unchanged";
	EXPECT_EQ(a->addresses, (std::vector<std::string>{"10.0.0.53", "10.0.0.53"}));
	EXPECT_EQ(a->from, std::string(kServerA) + ":53");

	EXPECT_TRUE(sh("ip6tables -w -t mangle -S QILDNSC")) << "IPv6 rules left by the kill";
	/* The service unit's clean-up after any end removes what it left. */
	std::ifstream unit(QILDNSC_UNIT_IN);
	std::string line, post;
	while (std::getline(unit, line))
		if (line.rfind("ExecStopPost=-", 0) == 0)
			post = line.substr(strlen("ExecStopPost=-"));
	ASSERT_FALSE(post.empty()) << "no ExecStopPost= in " << QILDNSC_UNIT_IN;
	/* The unit's escapes of a dollar and of a percent sign. */
	for (const char *esc : {"$$", "%%"})
		for (size_t at; (at = post.find(esc)) != std::string::npos;)
			post.erase(at, 1);
	ASSERT_TRUE(sh(post)) << post;
	EXPECT_EQ(jumps_to_chain(), 0);
	for (const char *p : {"iptables", "ip6tables"})
		for (const char *t : {"mangle", "nat"})
			EXPECT_FALSE(sh(std::string(p) + " -w -t " + t + " -S QILDNSC"))
			    << p << " " << t << ": the chain must be gone";

	/* A new start clears what a killed run left; "Exit", and any signal
	 * from outside that would end the process, removes it all. */
	for (int sig : {SIGTERM, SIGQUIT, SIGUSR2}) {
		SCOPED_TRACE(strsignal(sig));
		ASSERT_TRUE(start_forwarder());
		EXPECT_EQ(jumps_to_chain(), 1);
		stop_and_expect_no_rule(sig);
	}
}

/* As the service runs it: its own user, with only the three capabilities
 * the unit grants (diversion, its raw sockets and port 53), the unit's
 * command line. */
TEST_F(Diversion, TheServiceRunsAsItsOwnUserWithThreeCapabilities)
{
	if (access("/usr/bin/setpriv", X_OK) != 0)
		GTEST_SKIP() << "no setpriv (package util-linux) to drop root";
	ASSERT_EQ(chown(dir_.path().c_str(), 65534, 65534), 0) << strerror(errno);
	const std::vector<std::string> as_service = {
	    "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
	    "--inh-caps=-all,+net_admin,+net_bind_service,+net_raw",
	    "--ambient-caps=+net_admin,+net_bind_service,+net_raw",
	    "--bounding-set=-all,+net_admin,+net_bind_service,+net_raw"};
	if (!start_forwarder("", {"-d", "127.0.0.2:53"}, "Diverting DNS packets", as_service))
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	EXPECT_EQ(jumps_to_chain(), 1);
	auto a = ask(kClientA, kServerA, 0x5150, "service.example.com");
	ASSERT_TRUE(a) << "no answer through the forwarder run as its own user";
	EXPECT_EQ(a->addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.2"}));

	stop_and_expect_no_rule(SIGTERM);
}

/* iptables inherits none of our sockets, and no blocked signal that would
 * keep it from being stopped while it waits for its lock. */
TEST_F(Diversion, IptablesStartsWithoutOurSocketsAndSignalsBlocked)
{
	const std::string probe = dir_.file("iptables-probe");
	const std::string out = dir_.file("probe.txt");
	/* The mask is read by the shell itself: while it forks, the shell
	 * blocks every signal for a moment. */
	write_file(probe, "#!/bin/sh\n"
	    "while read -r k v; do [ \"$k\" = SigBlk: ] && echo \"SigBlk: $v\"; done"
	    " </proc/$$/status >>" + out + "\n"
	    "echo sockets $(ls -l /proc/$$/fd | grep -c socket:) >>" + out + "\n"
	    "exec iptables \"$@\"\n");
	ASSERT_EQ(chmod(probe.c_str(), 0755), 0);
	if (!start_forwarder(probe))
		GTEST_SKIP() << "no netfilter queue here:\n" << log();

	std::string seen = read_file(out);
	EXPECT_GT(count_of(seen, "SigBlk: 0000000000000000\n"), 0u) << seen;
	EXPECT_EQ(count_of(seen, "SigBlk:"), count_of(seen, "SigBlk: 0000000000000000\n")) << seen;
	EXPECT_EQ(count_of(seen, "sockets "), count_of(seen, "sockets 0\n")) << seen;
}

TEST_F(Diversion, TheXtablesQueueTargetServesAsWell)
{
	/* What a kernel without the nftables queue expression falls back to. */
	if (!sh("iptables-legacy -w -t mangle -S"))
		GTEST_SKIP() << "iptables-legacy is not usable here";
	if (!start_forwarder("iptables-legacy"))
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	EXPECT_EQ(jumps_to_chain("iptables-legacy"), 1);
	EXPECT_EQ(jumps_to_chain("iptables"), 0);

	auto a = ask(kClientA, kServerA, 0x5555, "legacy.example.com");
	ASSERT_TRUE(a);
	EXPECT_EQ(a->from, std::string(kServerA) + ":53");
	EXPECT_EQ(a->addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.2"}));

	fwd_->signal(SIGTERM);
	ASSERT_TRUE(fwd_->wait(10s));
	EXPECT_EQ(jumps_to_chain("iptables-legacy"), 0);
}

/* Diversion is part of the start-up: without its rules the forwarder
 * does not start, and it leaves nothing behind. */
TEST_F(Diversion, RulesThatCannotBeInstalledEndTheStartUp)
{
	EXPECT_FALSE(start_forwarder("false"));
	auto st = fwd_->wait(10s);
	ASSERT_TRUE(st);
	EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 1) << "wait status " << *st;
	EXPECT_EQ(fwd_->stderr_text(),
	    "qildnsc: Failed to open the WinDivert device (1) (see qildnsc_stdout.txt)\n");
	EXPECT_EQ(jumps_to_chain(), 0);
	EXPECT_FALSE(sh("iptables -w -t mangle -S QILDNSC"));
}

/* A document whose every server is refused leaves nothing to ask: taking
 * the machine's DNS then would leave it with none. Start-up ends before
 * any socket or rule. */
TEST_F(Diversion, NoServerToAskEndsTheStartUpBeforeAnyRule)
{
	config_ = std::make_unique<FakeHttpServer>(
	    HttpScript::json(R"({"cc": "ZZ", "dns_servers": ["[2001:db8::1]:53"]})"));
	EXPECT_FALSE(start_forwarder("", {}));
	auto st = fwd_->wait(10s);
	ASSERT_TRUE(st);
	EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 1) << "wait status " << *st;
	EXPECT_EQ(fwd_->stderr_text(), "qildnsc: QILEC_01050: No DNS server to forward to: "
	    "diverting would leave this machine without DNS, so this one does not start (give "
	    "servers with -d, or run with -w). (see qildnsc_stdout.txt)\n");
	EXPECT_EQ(log().find("Listening on"), std::string::npos) << log();
	EXPECT_EQ(jumps_to_chain(), 0);
	EXPECT_FALSE(sh("iptables -w -t mangle -S QILDNSC"));
}

/* A second start beside a diverting one, from the same directory, is
 * refused before it touches the first one's log: the file stays whole, not
 * moved aside, and the first goes on writing to it. */
TEST_F(Diversion, ASecondStartLeavesTheFirstOnesLogAlone)
{
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	const std::string before = log();
	Process second({QILDNSC_BINARY, "-d", "127.0.0.2:53"}, dir_.path(), {config_->config_env()});
	auto st = second.wait(15s);
	ASSERT_TRUE(st);
	EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 1) << "wait status " << *st;
	EXPECT_EQ(second.stderr_text(), "qildnsc: QILEC_00930: Another qildnsc diverts DNS here "
	    "already (it holds @qildnsc-diversion); this one does not start.\n");
	EXPECT_FALSE(std::filesystem::exists(dir_.file("qildnsc_stdout.txt.1")));
	EXPECT_EQ(log().substr(0, before.size()), before);
	fwd_->signal(SIGUSR1);
	EXPECT_TRUE(wait_until([&] { return log().find("queries over UDP") != std::string::npos; },
	    10s)) << "the first one no longer logs";
	stop_and_expect_no_rule(SIGTERM);
}

/* An exit signal while the rules go in waits for them, then removes them. */
TEST_F(Diversion, ExitSignalDuringInstallationLeavesNoRule)
{
	const std::string slow = dir_.file("slow-iptables");
	write_file(slow, "#!/bin/sh\ntouch '" + dir_.file("called") +
	    "'\nsleep 0.05\nexec iptables \"$@\"\n");
	ASSERT_EQ(chmod(slow.c_str(), 0755), 0);
	fwd_ = std::make_unique<Process>(
	    std::vector<std::string>{QILDNSC_BINARY, "-d", "127.0.0.2:53"}, dir_.path(),
	    std::vector<std::string>{config_->config_env(), "QILDNSC_IPTABLES=" + slow});
	ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(dir_.file("called")); }, 15s));
	fwd_->signal(SIGTERM);
	auto st = fwd_->wait(15s);
	ASSERT_TRUE(st);
	if (log().find("Diverting DNS packets") == std::string::npos)
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
	EXPECT_EQ(jumps_to_chain(), 0);
	EXPECT_FALSE(sh("iptables -w -t mangle -S QILDNSC")) << "the chain must be gone";
}

/* DNS over TCP to any server is redirected to the forwarder by the nat
 * table, and the rules go at "Exit". */
TEST_F(Diversion, TcpQueriesReachTheForwarder)
{
	if (system("command -v dig >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "dig is not installed (package bind9-dnsutils)";
	FakeTcpUpstream direct(kServerA, answer_with("10.0.0.53"), 53);
	FakeTcpUpstream upstream("127.0.0.2", answer_with("10.0.0.2"), 53);
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	if (log().find("QILEC_00831") != std::string::npos)
		GTEST_SKIP() << "no nat table here:\n" << log();
	EXPECT_EQ(jumps_to_chain("iptables", "nat"), 1);

	EXPECT_EQ(output_of("dig +tcp @192.0.2.53 -b 192.0.2.1 tcp.example.com A +short +tries=1 +time=5"),
	    "10.0.0.2\n10.0.0.2\n");
	EXPECT_EQ(direct.received_count(), 0u) << "the query must not reach the server asked";
	EXPECT_EQ(upstream.received_count(), 1u) << "the forwarder's own connection, not turned back";

	fwd_->signal(SIGTERM);
	auto st = fwd_->wait(10s);
	ASSERT_TRUE(st);
	EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
	EXPECT_EQ(jumps_to_chain("iptables", "nat"), 0);
	EXPECT_FALSE(sh("iptables -w -t nat -S QILDNSC")) << "the nat chain must be gone";
}

/* The C library's resolver, pointed at the forwarder, gets a truncated
 * answer over UDP and asks again over TCP. */
TEST_F(Diversion, TheCLibraryResolverRetriesOverTcp)
{
	if (system("command -v getent >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "getent is not installed";
	if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		GTEST_SKIP() << "cannot create a mount namespace: " << strerror(errno);
	write_file(dir_.file("resolv.conf"), "nameserver 127.0.0.1\noptions attempts:1 timeout:3\n");
	ASSERT_EQ(mount(dir_.file("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND,
	    nullptr), 0) << strerror(errno);
	/* The later tests share this namespace; the file goes with dir_. */
	struct Unbind {
		~Unbind() { (void)umount2("/etc/resolv.conf", MNT_DETACH); }
	} unbind;

	/* 40 addresses: over 512 bytes. */
	std::vector<dns::Record> many;
	for (int i = 1; i <= 40; i++)
		many.push_back(dns::a_record("10.1.0." + std::to_string(i)));
	auto whole = [many](const Received &r) {
		auto q = dns::first_question(r.message);
		return dns::build_answer(r.message,
		    q && q->qtype == dns::TYPE_A ? many : std::vector<dns::Record>{});
	};
	upstream_->set_script([whole](const Received &r) {
		return std::vector<Reply>{{0ms, dns::fit_datagram(r.message, whole(r))}};
	});
	FakeTcpUpstream tcp("127.0.0.2", [whole](const Received &r) {
		return std::vector<Reply>{{0ms, whole(r)}};
	}, 53);
	ASSERT_TRUE(start_forwarder("", {"-w", "-l", "127.0.0.1", "-p", "53", "-d", "127.0.0.2:53"},
	    "Listening on 127.0.0.1:53 over TCP"));

	std::string out = output_of("getent ahostsv4 big.example.test");
	EXPECT_EQ(count_of(out, " STREAM"), 40u) << out;
	EXPECT_NE(out.find("10.1.0.40 "), std::string::npos) << out;
	EXPECT_GE(tcp.received_count(), 1u) << "the resolver's second try, over TCP";
}

/* With the query page, a diverted query is recorded with the program that
 * asked, whatever address its socket has, and with the way it came. */
TEST_F(Diversion, TheQueryPageNamesTheProgramOfADivertedQuery)
{
	/* A server across a network: time for the asker to be named. */
	auto late = [](const Received &r) {
		return std::vector<Reply>{{200ms, dns::build_answer(r.message, {dns::a_record("10.0.0.2")})}};
	};
	upstream_->set_script(late);
	FakeTcpUpstream tcp("127.0.0.2", late, 53);
	uint16_t page = pick_udp_port();
	if (!start_forwarder("", {"-d", "127.0.0.2:53", "-u", std::to_string(page)}))
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	ASSERT_TRUE(wait_until([&] { return log().find("QILEC_00965") != std::string::npos; }, 10s));
	std::string url = read_file(dir_.file("qildnsc_page.txt"));
	std::string token = url.substr(url.find("token=") + 6, 32);

	/* dig, or this program when there is none. */
	bool dig = system("command -v dig >/dev/null 2>&1") == 0;
	char comm[32] = "";
	std::ifstream("/proc/self/comm").getline(comm, sizeof comm);
	if (dig) {
		(void)output_of("dig @192.0.2.53 -b 192.0.2.1 udp.named.test +tries=1 +time=5");
		(void)output_of("dig +tcp @192.0.2.53 -b 192.0.2.1 tcp.named.test +tries=1 +time=5");
	} else {
		ASSERT_TRUE(ask(kClientA, kServerA, 0x0a0a, "udp.named.test"));
		TcpClient c(kServerA, 53, 5s, kClientA);
		ASSERT_TRUE(c.send_message(dns::build_query(0x0b0b, "tcp.named.test", 1)) && c.receive(5s));
	}
	const std::string who = std::string(" ") + (dig ? "dig" : comm) + " 0 root";
	const std::set<std::string> want = {"udp.named.test. diverted UDP" + who,
	                                    "tcp.named.test. diverted TCP" + who};
	std::set<std::string> seen; /* name transport app uid user */
	(void)wait_until([&] {
		std::string r = http_get(page, "/api/queries?token=" + token,
		    "127.0.0.1:" + std::to_string(page));
		json_t *doc = json_loads(r.substr(r.find("\r\n\r\n") + 4).c_str(), 0, nullptr);
		size_t i;
		json_t *q;
		seen.clear();
		json_array_foreach(json_object_get(doc, "queries"), i, q) {
			const char *name = "", *how = "", *app = "-", *user = "-";
			json_int_t uid = -1;
			(void)json_unpack(q, "{s:s, s:s, s?s, s?I, s?s}", "name", &name, "transport", &how,
			    "app", &app, "uid", &uid, "user", &user);
			seen.insert(std::string(name) + " " + how + " " + app + " " + std::to_string(uid) +
			    " " + user);
		}
		json_decref(doc);
		return seen == want;
	}, 10s);
	EXPECT_EQ(seen, want);
}

/* Without a nat table DNS over TCP is not diverted; the rest is. */
TEST_F(Diversion, WithoutNatRulesOnlyDatagramsAreDiverted)
{
	const std::string no_nat = dir_.file("no-nat-iptables");
	write_file(no_nat, "#!/bin/sh\ncase \" $* \" in *' nat '*) exit 3;; esac\n"
	    "exec iptables \"$@\"\n");
	ASSERT_EQ(chmod(no_nat.c_str(), 0755), 0);
	if (!start_forwarder(no_nat))
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	EXPECT_NE(log().find("QILEC_00831: DNS over TCP is not diverted: the nat rules cannot be "
	    "installed (3)."), std::string::npos) << log();
	EXPECT_EQ(jumps_to_chain("iptables", "nat"), 0);
	auto a = ask(kClientA, kServerA, 0x6666, "udp.example.com");
	ASSERT_TRUE(a);
	EXPECT_EQ(a->addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.2"}));
}

/* A stub resolver on the loopback is asked directly, over UDP and TCP;
 * its own queries to a server outside are diverted like any other. */
TEST_F(Diversion, AStubResolverOnTheLoopbackKeepsItsQueries)
{
	FakeUpstream stub("127.0.0.53", false, [](const Received &r) {
		UdpSocket out(kClientB, 0);
		std::optional<Datagram> d;
		if (out.send_to(kServerA, 53, r.message))
			d = out.receive(5s);
		return std::vector<Reply>{{0ms, d ? d->data : std::vector<uint8_t>{}, Reply::Via::Raw}};
	}, 53);
	FakeTcpUpstream stub_tcp("127.0.0.53", answer_with("10.0.0.153"), 53);
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();

	auto a = ask("127.0.0.1", "127.0.0.53", 0x7777, "stub.example.com");
	ASSERT_TRUE(a) << "no answer from the stub";
	EXPECT_EQ(stub.received_count(), 1u) << "the query must reach the stub itself";
	EXPECT_EQ(a->from, "127.0.0.53:53");
	EXPECT_EQ(a->addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.2"}))
	    << "the stub's own query must have been answered through the forwarder";
	EXPECT_EQ(direct_a_->received_count(), 0u);

	if (system("command -v dig >/dev/null 2>&1") == 0) {
		EXPECT_EQ(output_of("dig +tcp @127.0.0.53 tcp.example.com A +short +tries=1 +time=5"),
		    "10.0.0.153\n10.0.0.153\n") << "DNS over TCP to the stub must reach it";
	}
}


/* A multicast DNS responder (avahi-daemon, D-Bus off) on the same machine,
 * answering for qiltest.local on qil0; a peer namespace on the other end of
 * the veth pair asks it over multicast. */
class DiversionBesideMdns : public Diversion {
protected:
	void
	SetUp() override
	{
		Diversion::SetUp();
		if (IsSkipped())
			return;
		if (access(kAvahi, X_OK) != 0)
			GTEST_SKIP() << "no avahi-daemon (package avahi-daemon; scripts/deps tests installs it)";
		/* Its pid file goes under /run: a /run of the test's own. */
		if (unshare(CLONE_NEWNS) != 0 ||
		    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
		    mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0)
			GTEST_SKIP() << "cannot give avahi-daemon a /run of its own: " << strerror(errno);
		write_file(dir_.file("avahi.conf"), "[server]\nhost-name=qiltest\nuse-ipv4=yes\n"
		    "use-ipv6=no\nenable-dbus=no\nallow-interfaces=qil0\n"
		    "[publish]\npublish-addresses=yes\n");
		move_qil1_to_peer();
		ASSERT_TRUE(sh("ip route add 224.0.0.0/4 dev qil0"));
		in_peer([] {
			ASSERT_TRUE(sh("ip link set qil1 up") &&
			    sh(std::string("ip addr add ") + kPeer + "/24 dev qil1") &&
			    sh("ip route add 224.0.0.0/4 dev qil1"));
		});
	}

	/* Starts the responder; false when it did not come up. */
	bool
	start_avahi()
	{
		avahi_ = std::make_unique<Process>(std::vector<std::string>{kAvahi, "--no-drop-root",
		    "--no-chroot", "--no-rlimits", "--no-proc-title", "-f", dir_.file("avahi.conf")},
		    dir_.path());
		return wait_until([&] {
			return avahi_->stderr_text().find("Server startup complete") != std::string::npos ||
			    !avahi_->running();
		}, 15s) && avahi_->running();
	}

	/* A one-shot multicast DNS query for qiltest.local from `s`: the answer. */
	static std::optional<Datagram>
	ask_mdns(UdpSocket &s, uint16_t id)
	{
		if (!s.send_to("224.0.0.251", 5353, dns::build_query(id, "qiltest.local", 1, false)))
			return std::nullopt;
		return s.receive(5s);
	}

	/* The packets the rule for replies from port 5353 has sent to the queue. */
	static long
	queued_from_5353()
	{
		std::istringstream rules(output_of("iptables -w -t mangle -L QILDNSC -v -x -n"));
		for (std::string line; std::getline(rules, line);)
			if (line.find("spt:5353") != std::string::npos)
				return std::stol(line);
		return -1;
	}

	static constexpr const char *kAvahi = "/usr/sbin/avahi-daemon";
	static constexpr const char *kPeer = "192.0.2.200";
	std::unique_ptr<Process> avahi_;
};

TEST_F(DiversionBesideMdns, EachStartsBesideTheOtherAndMulticastDnsPassesUnaltered)
{
	if (!start_avahi())
		GTEST_SKIP() << "avahi-daemon does not run here:\n" << avahi_->stderr_text();
	if (!start_forwarder()) {
		ASSERT_EQ(log().find("QILEC_00691"), std::string::npos)
		    << "qildnsc cannot start beside avahi-daemon:\n" << log();
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	}

	/* A second qildnsc, from another directory, is kept out. */
	TmpDir other;
	Process second({QILDNSC_BINARY, "-d", "127.0.0.2:53"}, other.path(), {config_->config_env()});
	auto st = second.wait(15s);
	ASSERT_TRUE(st);
	EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 1) << "wait status " << *st;
	EXPECT_EQ(second.stderr_text(), "qildnsc: QILEC_00930: Another qildnsc diverts DNS here "
	    "already (it holds @qildnsc-diversion); this one does not start.\n");
	EXPECT_FALSE(std::filesystem::exists(other.file("qildnsc_stdout.txt"))) << "it wrote a log";

	avahi_->signal(SIGTERM);
	ASSERT_TRUE(avahi_->wait(10s));
	ASSERT_TRUE(start_avahi()) << "avahi-daemon cannot start beside qildnsc:\n"
	                           << avahi_->stderr_text();

	/* An application asks DNS, then multicast DNS, from one port; the
	 * peer asks from the same port number. */
	UdpSocket app(kClientA, 0);
	ASSERT_TRUE(app.send_to(kServerA, 53, dns::build_query(0x3535, "www.example.com", 1)));
	auto dns_answer = app.receive(5s);
	ASSERT_TRUE(dns_answer) << "no answer through the forwarder";
	EXPECT_EQ(sockaddr_text(dns_answer->from), std::string(kServerA) + ":53");
	std::unique_ptr<UdpSocket> peer;
	in_peer([&] { peer = std::make_unique<UdpSocket>(kPeer, app.port()); });
	for (UdpSocket *s : {&app, peer.get()}) {
		SCOPED_TRACE(s->address());
		auto a = ask_mdns(*s, 0x5353);
		ASSERT_TRUE(a) << "no multicast DNS answer";
		EXPECT_EQ(ntohs(a->from.sin_port), 5353) << sockaddr_text(a->from)
		    << ": the answer must come from the responder as it sent it";
		EXPECT_EQ(dns::message_id(a->data), 0x5353);
		auto addrs = dns::answer_addresses(a->data);
		EXPECT_NE(std::find(addrs.begin(), addrs.end(), kClientA), addrs.end());
	}
	EXPECT_EQ(queued_from_5353(), 1) << "the forwarder's one reply, and no packet of the "
	                                    "responder's";
}

/* The server applications ask is on the peer, and answers for itself
 * (10.0.0.66) to whatever reaches it: a query that passes the queue
 * unjudged gets its answer. */
class DiversionBurst : public Diversion {
protected:
	void
	SetUp() override
	{
		Diversion::SetUp();
		if (IsSkipped())
			return;
		move_qil1_to_peer();
		in_peer([&] {
			ASSERT_TRUE(sh("ip link set qil1 up") &&
			    sh(std::string("ip addr add ") + kPeer + "/24 dev qil1"));
			peer_dns_ = std::make_unique<FakeUpstream>(kPeer, false, answer_with("10.0.0.66"), 53);
		});
		/* A thousand sockets and the forwarder's own. */
		struct rlimit rl;
		if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
			rl.rlim_cur = rl.rlim_max;
			(void)setrlimit(RLIMIT_NOFILE, &rl);
		}
	}

	/* What became of the queries of one burst. */
	struct Tally {
		int through = 0, direct = 0, none = 0;
	};

	/* `n` queries at once, each from a socket of its own, to the peer;
	 * what answered them within `limit`. */
	Tally
	burst(int n, std::chrono::milliseconds limit)
	{
		std::vector<std::unique_ptr<UdpSocket>> socks;
		std::vector<pollfd> fds;
		for (int i = 0; i < n; i++) {
			socks.push_back(std::make_unique<UdpSocket>(kClientA, 0));
			fds.push_back({socks.back()->fd(), POLLIN, 0});
		}
		for (int i = 0; i < n; i++)
			EXPECT_TRUE(socks[(size_t)i]->send_to(kPeer, 53, dns::build_query((uint16_t)i,
			    "q" + std::to_string(i) + ".burst.test", 1)));
		Tally t;
		auto until = Clock::now() + limit;
		for (int left = n; left > 0 && Clock::now() < until;) {
			auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
			if (poll(fds.data(), fds.size(), (int)ms.count() + 1) <= 0)
				continue;
			for (size_t i = 0; i < fds.size(); i++) {
				if (fds[i].fd < 0 || fds[i].revents == 0)
					continue;
				auto d = socks[i]->receive(0ms);
				fds[i].fd = -1;
				left--;
				auto addrs = d ? dns::answer_addresses(d->data) : std::vector<std::string>{};
				if (!addrs.empty() && addrs[0] == "10.0.0.66")
					t.direct++;
				else if (!addrs.empty())
					t.through++;
			}
		}
		t.none = n - t.through - t.direct;
		return t;
	}

	static constexpr const char *kPeer = "192.0.2.200";
	std::unique_ptr<FakeUpstream> peer_dns_;
};

TEST_F(DiversionBurst, NothingPassesUnjudgedWhileTheForwarderRuns)
{
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();

	Tally some = burst(200, 3s);
	EXPECT_EQ(some.through, 200) << some.direct << " answered directly, " << some.none
	                             << " not at all";
	Tally many = burst(1000, 5s);
	EXPECT_EQ(many.direct, 0) << "answered by the server asked, unjudged";
	EXPECT_EQ(peer_dns_->received_count(), 0u);
	EXPECT_GT(many.through, 0);

	/* What the pending ring could not hold is counted, and said once. */
	fwd_->signal(SIGUSR1);
	ASSERT_TRUE(wait_until([&] { return log().find("pushed out") != std::string::npos; }, 5s));
	std::string l = log();
	std::smatch m;
	ASSERT_TRUE(std::regex_search(l, m, std::regex("queries pushed out unanswered by a burst: (\\d+)")));
	int pushed = std::stoi(m[1]);
	EXPECT_LE(pushed, many.none) << "a query pushed out is never answered";
	EXPECT_EQ(count_of(l, "QILEC_01060"), pushed > 0 ? 1u : 0u) << l;
	EXPECT_EQ(l.find("Failed to read packet"), std::string::npos) << l;
	EXPECT_EQ(l.find("QILEC_00702"), std::string::npos) << "replies refused while they queue";
	std::cerr << "1,000 at once: " << many.through << " through the forwarder, " << many.none
	          << " unanswered, " << pushed << " pushed out of the pending ring\n";
}

/* A socket of this thread's namespace bound to [addr]:port; -1 when it
 * cannot be had. */
int
udp6_bound(const char *addr, uint16_t port)
{
	sockaddr_in6 sa = {};
	sa.sin6_family = AF_INET6;
	sa.sin6_port = htons(port);
	int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd >= 0 && (inet_pton(AF_INET6, addr, &sa.sin6_addr) != 1 ||
	    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)) {
		close(fd);
		fd = -1;
	}
	return fd;
}

/* The next datagram on `fd` within `limit_ms`, and its sender. */
std::optional<std::pair<dns::Bytes, sockaddr_in6>>
receive6(int fd, int limit_ms)
{
	struct pollfd p = {fd, POLLIN, 0};
	dns::Bytes buf(4096);
	sockaddr_in6 from = {};
	socklen_t len = sizeof from;
	ssize_t n = poll(&p, 1, limit_ms) != 1 ? -1 : recvfrom(fd, buf.data(), buf.size(), 0,
	    reinterpret_cast<sockaddr *>(&from), &len);
	if (n < 0)
		return std::nullopt;
	buf.resize((size_t)n);
	return std::pair{buf, from};
}

/* The application's only nameserver is an IPv6 address on the peer, which
 * answers for itself (10.0.0.66) to whatever reaches it. */
class DiversionOverIpv6 : public Diversion {
protected:
	void
	SetUp() override
	{
		Diversion::SetUp();
		if (IsSkipped())
			return;
		if (!sh("ip6tables -w -t mangle -S"))
			GTEST_SKIP() << "ip6tables is not usable here";
		move_qil1_to_peer();
		in_peer([&] {
			ASSERT_TRUE(sh("ip link set lo up") && sh("ip link set qil1 up") &&
			    sh(std::string("ip -6 addr add ") + kServer6 + "/64 dev qil1 nodad"));
			server_fd_ = udp6_bound(kServer6, 53);
		});
		if (!sh(std::string("ip -6 addr add ") + kClient6 + "/64 dev qil0 nodad") ||
		    server_fd_ < 0)
			GTEST_SKIP() << "no IPv6 in the namespace";
		server_ = std::thread([this] {
			while (!stop_) {
				auto q = receive6(server_fd_, 50);
				if (!q)
					continue;
				received_++;
				auto a = dns::build_answer(q->first, {dns::a_record("10.0.0.66")});
				(void)sendto(server_fd_, a.data(), a.size(), 0,
				    reinterpret_cast<sockaddr *>(&q->second), sizeof q->second);
			}
		});
	}

	void
	TearDown() override
	{
		stop_ = true;
		if (server_.joinable())
			server_.join();
		if (server_fd_ >= 0)
			close(server_fd_);
		Diversion::TearDown();
	}

	/* One query from the application to [kServer6]:53: the answer and
	 * where it came from. */
	static std::optional<std::pair<dns::Bytes, sockaddr_in6>>
	ask6(uint16_t id, const std::string &name, int limit_ms)
	{
		Fd s(udp6_bound(kClient6, 0));
		sockaddr_in6 to = {};
		to.sin6_family = AF_INET6;
		to.sin6_port = htons(53);
		inet_pton(AF_INET6, kServer6, &to.sin6_addr);
		auto q = dns::build_query(id, name, 1);
		if (s.get() < 0 || sendto(s.get(), q.data(), q.size(), 0,
		    reinterpret_cast<sockaddr *>(&to), sizeof to) != (ssize_t)q.size())
			return std::nullopt;
		return receive6(s.get(), limit_ms);
	}

	static constexpr const char *kClient6 = "2001:db8::1";
	static constexpr const char *kServer6 = "2001:db8::53";
	int server_fd_ = -1;
	std::thread server_;
	std::atomic<bool> stop_{false};
	std::atomic<int> received_{0};
};

TEST_F(DiversionOverIpv6, QueriesToAnIpv6ServerAreAnsweredByTheForwarder)
{
	/* Through the forwarder's upstream: "blocked.test" has a blocklisted
	 * address, and its answer is dropped. */
	upstream_.reset();
	upstream_ = std::make_unique<FakeUpstream>("127.0.0.2", false, [](const Received &r) {
		bool blocked = dns::first_question(r.message)->name == "blocked.test";
		return std::vector<Reply>{{0ms, dns::build_answer(r.message, {dns::a_record("10.0.0.2"),
		    dns::a_record(blocked ? "203.0.113.5" : "10.0.0.2")}), Reply::Via::Normal}};
	}, 53);
	write_file(dir_.file("blocklist.txt"), "203.0.113.5\n");
	/* A directory where iptables is and ip6tables is not. */
	TmpDir bare;
	ASSERT_TRUE(sh("ln -s \"$(command -v iptables)\" " + bare.file("iptables")));
	struct Row {
		const char *what;
		std::string iptables;
		bool ipv6;
	} rows[] = {{"ip6tables beside iptables", "", true},
	            {"no ip6tables", bare.file("iptables"), false}};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		received_ = 0;
		if (!start_forwarder(row.iptables, {"-d", "127.0.0.2:53", "-b", "blocklist.txt"}))
			GTEST_SKIP() << "no netfilter queue here:\n" << log();
		EXPECT_EQ(log().find("QILEC_00951") == std::string::npos, row.ipv6) << log();
		auto a = ask6(0x6666, "six.example.com", 5000);
		ASSERT_TRUE(a) << "no answer";
		char from[INET6_ADDRSTRLEN] = {};
		inet_ntop(AF_INET6, &a->second.sin6_addr, from, sizeof from);
		EXPECT_EQ(from + std::string(":") + std::to_string(ntohs(a->second.sin6_port)),
		    std::string(kServer6) + ":53") << "as if from the server asked";
		EXPECT_EQ(dns::message_id(a->first), 0x6666);
		const std::vector<std::string> through{"10.0.0.2", "10.0.0.2"}, direct{"10.0.0.66"};
		EXPECT_EQ(dns::answer_addresses(a->first), row.ipv6 ? through : direct);
		EXPECT_EQ(received_, row.ipv6 ? 0 : 1) << "what the peer received";
		if (row.ipv6) {
			EXPECT_FALSE(ask6(0x6667, "blocked.test", 1500)) << "a blocklisted answer";
			EXPECT_EQ(received_, 0);
			/* The peer takes no TCP: only the redirection answers. */
			FakeTcpUpstream tcp("127.0.0.2", answer_with("10.0.0.2"), 53);
			EXPECT_EQ(output_of(std::string("dig +tcp @") + kServer6 + " -b " + kClient6 +
			    " tcp6.example.com A +short +tries=1 +time=5"), "10.0.0.2\n10.0.0.2\n");
		}
		/* The C library's resolver, whose only nameserver is the peer. */
		write_file(dir_.file("resolv.conf"), std::string("nameserver ") + kServer6 + "\n");
		std::string got = output_of("unshare -m sh -c 'mount --bind " +
		    dir_.file("resolv.conf") + " /etc/resolv.conf && getent ahosts libc.example.com'");
		EXPECT_EQ(got.substr(0, 9), row.ipv6 ? "10.0.0.2 " : "10.0.0.66") << got;
		EXPECT_TRUE(!row.ipv6 || received_ == 0) << "the peer's resolver receives nothing";
		auto v4 = ask(kClientA, kServerA, 0x4444, "four.example.com");
		ASSERT_TRUE(v4) << "IPv4 diversion goes on";
		EXPECT_EQ(v4->addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.2"}));
		stop_and_expect_no_rule(SIGTERM);
		EXPECT_FALSE(sh("ip6tables -w -t mangle -S QILDNSC")) << "no IPv6 chain left";
		EXPECT_FALSE(sh("ip6tables -w -t nat -S QILDNSC")) << "no IPv6 nat chain left";
		EXPECT_EQ(jumps_to_chain("ip6tables"), 0);
	}
}

/* A desktop on a LAN: the router's resolver has an IPv4, a global IPv6 and
 * a link-local address, as routers announce them. */
class DiversionOnALan : public DiversionOverIpv6 {
protected:
	void
	SetUp() override
	{
		DiversionOverIpv6::SetUp();
		if (IsSkipped())
			return;
		in_peer([&] {
			ASSERT_TRUE(sh(std::string("ip addr add ") + kRouter4 + "/24 dev qil1") &&
			    sh(std::string("ip -6 addr add ") + kRouterLink + "/64 dev qil1 nodad"));
			/* What crosses the link, seen from the LAN. */
			wire_.emplace(socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
			    htons(ETH_P_ALL)));
		});
		ASSERT_TRUE(sh(std::string("ip -6 addr add ") + kDesktopLink + "/64 dev qil0 nodad"));
		ASSERT_GE(wire_->get(), 0) << strerror(errno);
	}

	/* The packets seen on the LAN with a loopback address. */
	int
	loopback_on_the_wire()
	{
		int n = 0;
		uint8_t p[2048];
		for (ssize_t len; (len = recv(wire_->get(), p, sizeof p, 0)) > 0;) {
			bool v4 = len >= 20 && (p[0] >> 4) == 4 && (p[12] == 127 || p[16] == 127);
			static const uint8_t lo6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
			bool v6 = len >= 40 && (p[0] >> 4) == 6 &&
			    (memcmp(p + 8, lo6, 16) == 0 || memcmp(p + 24, lo6, 16) == 0);
			n += v4 || v6;
		}
		return n;
	}

	/* One query from a socket bound to qil0 to `server` port 53 (with the
	 * link's scope for a link-local one): the answer's addresses. */
	static std::vector<std::string>
	ask_bound(int family, const char *server)
	{
		Fd s(socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
		sockaddr_storage to = {};
		socklen_t tolen;
		if (family == AF_INET) {
			auto *sin = reinterpret_cast<sockaddr_in *>(&to);
			sin->sin_family = AF_INET;
			sin->sin_port = htons(53);
			inet_pton(AF_INET, server, &sin->sin_addr);
			tolen = sizeof *sin;
		} else {
			auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&to);
			sin6->sin6_family = AF_INET6;
			sin6->sin6_port = htons(53);
			inet_pton(AF_INET6, server, &sin6->sin6_addr);
			sin6->sin6_scope_id = if_nametoindex("qil0");
			tolen = sizeof *sin6;
		}
		auto q = dns::build_query(0x0b0d, "bound.example.com", 1);
		if (setsockopt(s.get(), SOL_SOCKET, SO_BINDTODEVICE, "qil0", 5) != 0 ||
		    sendto(s.get(), q.data(), q.size(), 0, reinterpret_cast<sockaddr *>(&to),
		    tolen) != (ssize_t)q.size())
			return {};
		auto a = receive6(s.get(), 3000);
		return a ? dns::answer_addresses(a->first) : std::vector<std::string>{};
	}

	static constexpr const char *kRouter4 = "192.0.2.99";
	static constexpr const char *kRouterLink = "fe80::53";
	static constexpr const char *kDesktopLink = "fe80::1";
	std::optional<Fd> wire_;
};

TEST_F(DiversionOnALan, LinkLocalAndInterfaceBoundClientsGetTheForwardersAnswer)
{
	FakeTcpUpstream tcp("127.0.0.2", answer_with("10.0.0.2"), 53);
	if (!start_forwarder())
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	(void)loopback_on_the_wire();
	const std::string through = "10.0.0.2\n10.0.0.2\n";
	const std::string dig = std::string("dig @") + kRouterLink + "%qil0 +short +tries=1 +time=3 ";
	EXPECT_EQ(output_of(dig + "udp.example.com"), through) << "dig, link-local, UDP";
	EXPECT_EQ(output_of(dig + "+tcp tcp.example.com"), through) << "dig, link-local, TCP";
	const std::vector<std::string> addrs{"10.0.0.2", "10.0.0.2"};
	EXPECT_EQ(ask_bound(AF_INET, kRouter4), addrs) << "SO_BINDTODEVICE, IPv4";
	EXPECT_EQ(ask_bound(AF_INET6, kServer6), addrs) << "SO_BINDTODEVICE, IPv6";
	EXPECT_EQ(ask_bound(AF_INET6, kRouterLink), addrs) << "SO_BINDTODEVICE, link-local";
	EXPECT_EQ(received_, 0) << "the router's resolver asked directly";
	EXPECT_EQ(loopback_on_the_wire(), 0) << "packets with a loopback address left the desktop";
	stop_and_expect_no_rule(SIGTERM);
}

/* A desktop as installed, nothing edited: the settings that
 * `cmake --install` writes, no configuration server anywhere, and a
 * resolv.conf (bound over /etc/resolv.conf in a mount namespace of the
 * test's own) naming the LAN's resolver, a fake on the peer's end of the
 * veth pair. */
class DiversionOutOfTheBox : public Diversion {
protected:
	void
	SetUp() override
	{
		Diversion::SetUp();
		if (IsSkipped())
			return;
		if (system("command -v dig >/dev/null 2>&1") != 0)
			GTEST_SKIP() << "dig is not installed (package bind9-dnsutils)";
		if (unshare(CLONE_NEWNS) != 0 ||
		    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
			GTEST_SKIP() << "cannot create a mount namespace: " << strerror(errno);
		write_file(dir_.file("resolv.conf"), std::string("# from the LAN's DHCP\n"
		    "nameserver ") + kLanResolver + "\nsearch lan\n");
		ASSERT_EQ(mount(dir_.file("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND,
		    nullptr), 0) << strerror(errno);
		bound_ = true;
		move_qil1_to_peer();
		in_peer([&] {
			ASSERT_TRUE(sh("ip link set lo up") && sh("ip link set qil1 up") &&
			    sh(std::string("ip addr add ") + kLanResolver + "/24 dev qil1"));
			lan_ = std::make_unique<FakeUpstream>(kLanResolver, false, answer_with("10.0.0.99"),
			    53);
		});
	}

	void
	TearDown() override
	{
		Diversion::TearDown();
		lan_.reset();
		/* The later tests share this namespace; the file goes with dir_. */
		if (bound_)
			(void)umount2("/etc/resolv.conf", MNT_DETACH);
	}

	/* The installed settings file's variables, read as systemd reads an
	 * EnvironmentFile=: one KEY=value a line, quotes taken off. */
	static std::map<std::string, std::string>
	settings_of(const std::string &path)
	{
		std::map<std::string, std::string> vars;
		std::ifstream in(path);
		for (std::string line; std::getline(in, line);) {
			size_t eq = line.find('=');
			if (line.empty() || line[0] == '#' || eq == std::string::npos)
				continue;
			std::string v = line.substr(eq + 1);
			if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
				v = v.substr(1, v.size() - 2);
			vars[line.substr(0, eq)] = v;
		}
		return vars;
	}

	static constexpr const char *kLanResolver = "192.0.2.99";
	bool bound_ = false;
	std::unique_ptr<FakeUpstream> lan_;
};

TEST_F(DiversionOutOfTheBox, TheInstalledSettingsDivertToTheNetworksResolver)
{
	TmpDir prefix;
	ASSERT_TRUE(sh("cmake --install " QILDNSC_BUILD_DIR " --prefix " + prefix.path()));
	auto vars = settings_of(prefix.file("etc/default/qildnsc"));
	ASSERT_EQ(vars.count("QILDNSC_OPTIONS"), 1u);
	std::vector<std::string> argv = {prefix.file("bin/qildnsc")};
	std::istringstream words(vars["QILDNSC_OPTIONS"]);
	for (std::string w; words >> w;)
		argv.push_back(w);
	std::vector<std::string> env;
	for (const auto &[k, v] : vars)
		env.push_back(k + "=" + v);
	fwd_ = std::make_unique<Process>(argv, dir_.path(), env);
	bool ready = wait_until([&] {
		std::string l = log();
		return l.find("Diverting DNS packets") != std::string::npos ||
		    l.find("Failed to open the WinDivert device") != std::string::npos ||
		    !fwd_->running();
	}, 15s);
	ASSERT_TRUE(ready) << "no diversion line in the log";
	if (log().find("Diverting DNS packets") == std::string::npos)
		GTEST_SKIP() << "no netfilter queue here:\n" << log();
	EXPECT_NE(log().find("QILEC_01111: QILDNSC_CONFIG_SERVER=none: "), std::string::npos);
	EXPECT_NE(log().find(std::string("QILEC_01107: @network: DNS server ") + kLanResolver +
	    " (from /etc/resolv.conf)."), std::string::npos) << log();

	EXPECT_EQ(output_of(std::string("dig @") + kLanResolver + " -b " + kClientA +
	    " lan.example.com A +short +tries=1 +time=5"), "10.0.0.99\n10.0.0.99\n");
	/* The same name again: the forwarder's cache answers, the LAN's
	 * resolver has been asked once, and the counters saw both. */
	EXPECT_EQ(output_of(std::string("dig @") + kLanResolver + " -b " + kClientA +
	    " lan.example.com A +short +tries=1 +time=5"), "10.0.0.99\n10.0.0.99\n");
	EXPECT_EQ(lan_->received_count(), 1u) << "the resolver must be asked by the forwarder, once";
	fwd_->signal(SIGUSR1);
	EXPECT_TRUE(wait_until([&] {
		return log().find("[INFO]   queries answered from the cache: 1\n") != std::string::npos;
	}, 10s)) << log();
	EXPECT_NE(log().find("[INFO]   queries over UDP: 2\n"), std::string::npos) << log();
	stop_and_expect_no_rule(SIGTERM);
}

} // namespace
