/*
 * config_test.cc -- the configuration fetch at start-up, with the real
 * qildnsc binary: the direct request, the -X proxy, the static proxy nodes
 * on port 18080, the static nodes file, every refusal of the document, the
 * country profile, the server list built from the document and the size
 * of the body; no server at all, or a local file, instead; and the saved
 * document's names with a link or a FIFO planted at them.
 *
 * Every run happens in a temporary directory, without diversion (-w) and
 * on a port of 127.0.0.1 that was free a moment ago. The configuration
 * server and the proxies are fakes on loopback; a dead peer is a port that
 * is bound but not listening, so a connect to it is refused at once. Static
 * nodes must listen on port 18080, so each test that needs one has its own
 * 127.0.0.8x address. The log is printed when a test fails.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "case_name.h"
#include "closed_port.h"
#include "dns_client.h"
#include "dns_message.h"
#include "fake_http.h"
#include "fake_upstream.h"
#include "forwarder_process.h"
#include "process.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;
namespace dns = qiltest::dns;

namespace {

constexpr uint16_t kNodePort = 18080;
const std::string kNodesFile = "qildnsc_staticnodes.json";
const std::string kRequestPath = "/get/qildnsc.php";
/* The document of the examples: two servers, a country that has no
 * profile. */
const std::string kDocument =
    R"({"cc": "US", "dns_servers": ["192.0.2.10", "198.51.100.20"]})";

std::string
node_host(const std::string &addr)
{
	return addr + ":" + std::to_string(kNodePort);
}

std::string
nodes_json(std::initializer_list<const char *> addrs)
{
	std::string s = R"({"staticnodes": [)";
	const char *sep = "";
	for (const char *a : addrs) {
		s += sep + std::string(R"({"ip": ")") + a + R"(", "port": "ignored"})";
		sep = ", ";
	}
	return s + "]}";
}

/* The proxies of the "Use the proxy %s to fetch." lines, in order. */
std::vector<std::string>
proxies_used(const std::string &log)
{
	static const std::regex re(R"(Use the proxy (\S+) to fetch\.\n)");
	std::vector<std::string> out;
	for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it)
		out.push_back((*it)[1]);
	return out;
}

/* A document of exactly `size` bytes: `doc` with blanks before its last
 * character. */
std::string
padded(const std::string &doc, size_t size)
{
	return doc.substr(0, doc.size() - 1) + std::string(size - doc.size(), ' ') + doc.back();
}

std::string
request_text(const FakeHttpServer &server)
{
	return "GET " + kRequestPath + " HTTP/1.1\r\nConnection: close\r\nHost: " +
	    server.host() + "\r\n\r\n";
}

class ConfigTest : public ::testing::Test {
protected:
	void
	TearDown() override
	{
		if (fwd_)
			stop();
		if (HasFailure()) {
			std::cerr << "---- qildnsc_stdout.txt ----\n" << log()
			          << "---- standard error ----\n" << err_ << "----\n";
		}
	}

	/*
	 * Starts the forwarder with `extra` options and `env`, and waits until
	 * it listens. A port taken meanwhile by someone else fails the bind;
	 * then another is tried.
	 */
	void
	start(const std::vector<std::string> &extra, const std::string &env)
	{
		start_forwarder(dir_, extra, {env}, 15s, &fwd_, &err_, &port_);
	}

	/* Ends a started forwarder: status 0, no sanitizer report. */
	void
	stop()
	{
		if (testing_windows_build()) {
			/* No signals there; its exits are the shell's, tested apart. */
			fwd_.reset();
			return;
		}
		fwd_->signal(SIGTERM);
		auto st = fwd_->wait(10s);
		err_ = fwd_->stderr_text();
		EXPECT_TRUE(st) << "still running 10 s after SIGTERM";
		if (st) {
			EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
		}
		expect_clean_end();
		fwd_.reset();
	}

	/* Runs the forwarder (under `launcher`, when given) to its end;
	 * start-up must fail with status 1. One that starts listening instead
	 * is killed at once. */
	void
	expect_start_fails(const std::vector<std::string> &extra, const std::string &env,
	                   const char *launcher = nullptr)
	{
		std::vector<std::string> argv = forwarder_argv(pick_udp_port(), extra);
		if (launcher != nullptr)
			argv.insert(argv.begin(), launcher);
		Process p(argv, dir_.path(), {env});
		bool ended = wait_until([&] {
			return !p.running() || log().find("Listening on") != std::string::npos;
		}, 20s) && !p.running();
		err_ = p.stderr_text();
		ASSERT_TRUE(ended) << "the forwarder did not fail its start-up";
		auto st = p.wait(0ms);
		ASSERT_TRUE(st);
		EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 1) << "wait status " << *st;
		expect_clean_end();
		/* The last error of the log, once, on standard error. */
		std::string last;
		std::istringstream in(log());
		for (std::string line; std::getline(in, line);)
			if (size_t at = line.find(" [ERROR] "); at != std::string::npos)
				last = line.substr(at + 9);
		/* Trailing blanks go (Windows' resolver texts end in one). */
		last.erase(last.find_last_not_of(' ') + 1);
		std::string first = "qildnsc: " + last + " (see qildnsc_stdout.txt)\n";
		EXPECT_EQ(err_.substr(0, first.size()), first);
		/* Then only hints, each also logged. */
		std::istringstream hints(err_.substr(std::min(first.size(), err_.size())));
		for (std::string line; std::getline(hints, line);) {
			EXPECT_EQ(line.rfind("qildnsc: hint: ", 0), 0u) << line;
			EXPECT_NE(log().find("QILEC_00901: Hint: " + line.substr(15)), std::string::npos);
		}
	}

	void
	expect_clean_end()
	{
		expect_no_sanitizer_report(err_);
		/* Failed assertions report on standard output: the log. */
		EXPECT_EQ(log().find("assert fail!"), std::string::npos);
	}

	std::string log() const { return read_log(dir_.file("qildnsc_stdout.txt")); }
	void put(const std::string &name, const std::string &text) const
	{
		write_file(dir_.file(name), text);
	}

	TmpDir dir_;
	std::unique_ptr<Process> fwd_;
	uint16_t port_ = 0;
	std::string err_;
};

/* ---------------------------------------------------------------------- */

TEST_F(ConfigTest, DirectFetchIsOneRequestAndTheServersComeFromTheDocument)
{
	FakeHttpServer config(HttpScript::json(kDocument));
	/* A live node that must stay untouched. */
	FakeConnectProxy node({}, "127.0.0.80", kNodePort);
	put(kNodesFile, nodes_json({"127.0.0.80"}));

	start({}, config.config_env());
	ASSERT_FALSE(HasFatalFailure());

	ASSERT_EQ(config.request_count(), 1u);
	HttpRequest req = config.requests()[0];
	EXPECT_TRUE(req.complete);
	EXPECT_EQ(req.raw, request_text(config));
	EXPECT_EQ(node.connect_count(), 0u);

	/* Start-up's lines: those of the desktop shell (no bus here) follow. */
	std::string l = log();
	l.resize(std::min(l.size(), l.find("Listening on")));
	EXPECT_TRUE(proxies_used(l).empty());
	EXPECT_EQ(l.find("Use the proxy"), std::string::npos);
	EXPECT_EQ(l.find("QILEC_"), std::string::npos);
	EXPECT_EQ(l.find("for China"), std::string::npos);
	size_t cc = l.find("[INFO] Your default country code is US.\n");
	size_t list = l.find("[INFO] Using DNS servers: E192.0.2.10:10015,E198.51.100.20:10015\n");
	EXPECT_NE(cc, std::string::npos);
	EXPECT_NE(list, std::string::npos);
	EXPECT_LT(cc, list);
}

/* A server given without a port is reached on port 80 and named in the
 * Host header as given. Port 80 needs the privilege to bind it. */
TEST_F(ConfigTest, ServerWithoutAPortIsReachedOnPort80)
{
	std::unique_ptr<FakeHttpServer> config;
	try {
		config = std::make_unique<FakeHttpServer>(HttpScript::json(kDocument), "127.0.0.88",
		    uint16_t{80});
	} catch (const std::runtime_error &e) {
		GTEST_SKIP() << e.what() << " (no privilege for port 80?)";
	}

	start({}, "QILDNSC_CONFIG_SERVER=127.0.0.88");
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_EQ(config->request_count(), 1u);
	EXPECT_EQ(config->requests()[0].raw,
	    "GET " + kRequestPath + " HTTP/1.1\r\nConnection: close\r\nHost: 127.0.0.88\r\n\r\n");
	EXPECT_NE(log().find("[INFO] Your default country code is US."), std::string::npos);
}

/* The last document a server gave is kept; a start that gets none (the
 * server refused, or sent something that is no document) uses it, with a
 * warning; without it start-up fails with the fetch's own reason. */
TEST_F(ConfigTest, TheLastGoodDocumentServesWhenNoServerGivesOne)
{
	{
		FakeHttpServer config(HttpScript::json(kDocument));
		start({}, config.config_env());
		ASSERT_FALSE(HasFatalFailure());
		/* Saved once the start is over, just after its listening line:
		 * the Windows build's stop is no signal that waits for that. */
		EXPECT_TRUE(wait_until([&] {
			return read_file(dir_.file("qildnsc_config.json")) == kDocument;
		}, 10s));
		stop();
	}
	std::ifstream saved(dir_.file("qildnsc_config.json"));
	std::stringstream text;
	text << saved.rdbuf();
	ASSERT_EQ(text.str(), kDocument);

	ClosedPort dead;
	FakeHttpServer junk(HttpScript::json("not a document"));
	FakeUpstream up("127.0.0.2", false, [](const Received &r) {
		return std::vector<Reply>{{0ms, dns::build_answer(r.message,
		    {dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")})}};
	});
	for (const std::string &env : {"QILDNSC_CONFIG_SERVER=" + dead.host(), junk.config_env()}) {
		SCOPED_TRACE(env);
		start({}, env);
		ASSERT_FALSE(HasFatalFailure());
		std::string l = log();
		EXPECT_NE(l.find("QILEC_00888: No configuration document fetched: using the one "
		                 "saved "), std::string::npos);
		EXPECT_NE(l.find("[INFO] Using DNS servers: E192.0.2.10:10015,E198.51.100.20:10015"),
		          std::string::npos);
		stop();
		/* And it serves: here with a server of -d's. */
		start({"-d", up.list_entry()}, env);
		ASSERT_FALSE(HasFatalFailure());
		DnsClient c(port_);
		ASSERT_TRUE(c.send(dns::build_query(0x5afe, "saved.test", dns::TYPE_A)));
		EXPECT_EQ(c.collect_until(1, 5s).size(), 1u) << "no answer after the saved document";
		stop();
	}
	ASSERT_EQ(unlink(dir_.file("qildnsc_config.json").c_str()), 0);
	(void)unlink(dir_.file("qildnsc_stdout.txt").c_str()); /* no "Listening on" of before */
	expect_start_fails({}, "QILDNSC_CONFIG_SERVER=" + dead.host());
	EXPECT_NE(log().find("QILEC_00890: No saved configuration document"), std::string::npos);
}

/* Where else the document may come from: QILDNSC_CONFIG_SERVER=none (no
 * document: -d is the list, and a start without it fails), or file:PATH (a
 * local file, read by a fetched document's rules, its country profile
 * included; nothing saved). Neither reads the static nodes file. */
TEST_F(ConfigTest, NoServerOrALocalFileInstead)
{
	FakeUpstream up("127.0.0.2", false, [](const Received &r) {
		return std::vector<Reply>{{0ms, dns::build_answer(r.message,
		    {dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")})}};
	});
	put("cn.json", R"({"cc": "CN", "dns_servers": ["192.0.2.10"]})");
	put("array.json", R"(["192.0.2.10"])");
	put("blacklist_CN.txt", "192.0.2.71\n192.0.2.72\n");
	put("route_CN.txt", "192.0.2.0/24\n");
	const struct {
		const char *name;
		const char *source;
		bool dash_d;
		const char *logged; /* the line that says so, or the failure */
		bool starts;
	} rows[] = {
	    {"none", "none", true, "[INFO]  QILEC_01111: QILDNSC_CONFIG_SERVER=none: no configuration "
	     "document; the servers are those of -d, and no country profile applies.\n", true},
	    {"none_without_d", "none", false, "[ERROR] QILEC_01110: QILDNSC_CONFIG_SERVER=none "
	     "fetches no configuration document, so -d must give the servers", false},
	    {"file", "file:cn.json", false, "[INFO] Uses blacklist and CRoute for China\n", true},
	    {"file_with_d", "file:cn.json", true, "[INFO] Your default country code is CN.\n", true},
	    {"file_missing", "file:nosuch.json", true, "[ERROR] QILEC_01108: Cannot read the "
	     "configuration document nosuch.json (QILDNSC_CONFIG_SERVER=file:nosuch.json): ", false},
	    {"file_no_document", "file:array.json", true,
	     "[ERROR] QILEC_00753: The result isn't object.\n", false},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		std::filesystem::remove(dir_.file("qildnsc_stdout.txt"));
		std::vector<std::string> extra;
		if (r.dash_d)
			extra = {"-d", up.list_entry()};
		const std::string env = std::string("QILDNSC_CONFIG_SERVER=") + r.source;
		if (!r.starts) {
			expect_start_fails(extra, env);
			EXPECT_NE(log().find(r.logged), std::string::npos) << log();
			continue;
		}
		start(extra, env);
		ASSERT_FALSE(HasFatalFailure());
		std::string l = log();
		EXPECT_NE(l.find(r.logged), std::string::npos) << l;
		EXPECT_EQ(l.find("staticnodes"), std::string::npos) << l;
		EXPECT_EQ(l.find("country code") == std::string::npos, r.source == std::string("none"));
		if (r.dash_d) {
			DnsClient c(port_);
			ASSERT_TRUE(c.send(dns::build_query(0x0a0b, "source.test", dns::TYPE_A)));
			EXPECT_EQ(c.collect_until(1, 5s).size(), 1u) << "no answer";
		} else {
			EXPECT_NE(l.find("[INFO] 2 entries of IP blacklist are loaded."), std::string::npos);
			EXPECT_NE(l.find("[INFO] Using DNS servers: E192.0.2.10:10015\n"), std::string::npos);
		}
		stop();
		EXPECT_FALSE(std::filesystem::exists(dir_.file("qildnsc_config.json")));
	}
}

/* A link or a FIFO planted at the saved document's names: a link is never
 * followed (neither read nor written through), a FIFO never opened; the
 * document is saved as a file of its own, and nothing outside the
 * directory changes. */
TEST_F(ConfigTest, ALinkOrAFifoAtTheSavedDocumentsNamesChangesNothingOutside)
{
	if (testing_windows_build())
		GTEST_SKIP() << "Wine shows a Unix link as the file it names, and has no FIFO";
	FakeHttpServer good(HttpScript::json(kDocument));
	ClosedPort dead;
	TmpDir outside;
	const std::string target = outside.file("target");
	const std::string saved = dir_.file("qildnsc_config.json");
	const struct {
		const char *name;
		const char *at;
		bool fifo;
		bool served; /* else the server is dead, and the start fails */
		const char *logged;
	} rows[] = {
	    {"link_at_new", "qildnsc_config.json.new", false, true, ""},
	    {"fifo_at_new", "qildnsc_config.json.new", true, true, ""},
	    {"link_replaced", "qildnsc_config.json", false, true, ""},
	    {"link_not_read", "qildnsc_config.json", false, false,
	     "QILEC_01112: The saved configuration document qildnsc_config.json cannot be read: "
	     "a symbolic link\n"},
	    {"fifo_not_opened", "qildnsc_config.json", true, false,
	     "QILEC_01112: The saved configuration document qildnsc_config.json cannot be read: "
	     "not a regular file\n"},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		const std::string at = dir_.file(r.at);
		std::filesystem::remove(saved);
		std::filesystem::remove(saved + ".new");
		std::filesystem::remove(dir_.file("qildnsc_stdout.txt"));
		/* A document, should anything read through the link. */
		write_file(target, R"({"cc": "ZZ", "dns_servers": ["192.0.2.66"]})");
		const std::string before = read_file(target);
		ASSERT_EQ(r.fifo ? mkfifo(at.c_str(), 0600) : symlink(target.c_str(), at.c_str()), 0);
		if (!r.served) {
			expect_start_fails({}, dead.config_env());
			EXPECT_NE(log().find(r.logged), std::string::npos) << log();
		} else {
			start({}, good.config_env());
			ASSERT_FALSE(HasFatalFailure());
			EXPECT_TRUE(wait_until([&] {
				return std::filesystem::is_regular_file(std::filesystem::symlink_status(saved));
			}, 5s));
			EXPECT_EQ(read_file(saved), kDocument);
			stop();
		}
		EXPECT_EQ(read_file(target), before);
	}
}

TEST_F(ConfigTest, DeadProxyThenAStaticNodeThatTunnelsToTheServer)
{
	FakeHttpServer config(HttpScript::json(kDocument));
	ClosedPort dead;
	FakeConnectProxy node({}, "127.0.0.81", kNodePort);
	put(kNodesFile, nodes_json({"127.0.0.81"}));

	start({"-X", dead.host()}, config.config_env());
	ASSERT_FALSE(HasFatalFailure());

	std::string l = log();
	EXPECT_EQ(proxies_used(l),
	    (std::vector<std::string>{dead.host(), node_host("127.0.0.81")}));
	EXPECT_NE(l.find("QILEC_00455: VSS_open(" + dead.host() + ") failed"), std::string::npos);
	EXPECT_EQ(count_of(l, "vhttp_proxy() failed."), 1u);
	EXPECT_EQ(l.find("QILEC_00703"), std::string::npos);

	/* The node is the proxy: a CONNECT to the server as given, nothing
	 * else, then the request through the tunnel. */
	ASSERT_EQ(node.connect_count(), 1u);
	ConnectRecord c = node.connects()[0];
	EXPECT_EQ(c.raw, "CONNECT " + config.host() + " HTTP/1.1\r\n\r\n");
	EXPECT_TRUE(c.tunnelled);
	ASSERT_EQ(config.request_count(), 1u);
	EXPECT_EQ(config.requests()[0].raw, request_text(config));
	EXPECT_NE(l.find("[INFO] Your default country code is US."), std::string::npos);
	EXPECT_NE(l.find("Using DNS servers: E192.0.2.10:10015,E198.51.100.20:10015"),
	    std::string::npos);
}

/* Five node attempts, all refused: with -X (the server is never asked
 * directly) and without it (the server itself is dead). */
struct DeadNodesCase {
	const char *name;
	bool dash_x;
	const char *node_a;
	const char *node_b;
};

class DeadNodes : public ConfigTest, public ::testing::WithParamInterface<DeadNodesCase> {};

TEST_P(DeadNodes, FiveAttemptsEachWithItsLineThenFailure)
{
	const DeadNodesCase &p = GetParam();
	FakeHttpServer live(HttpScript::json(kDocument));
	ClosedPort dead_proxy, dead_server;
	ClosedPort a(p.node_a, kNodePort), b(p.node_b, kNodePort);
	put(kNodesFile, nodes_json({p.node_a, p.node_b}));

	std::vector<std::string> extra;
	if (p.dash_x)
		extra = {"-X", dead_proxy.host()};
	expect_start_fails(extra, p.dash_x ? live.config_env() : dead_server.config_env());

	std::string l = log();
	std::vector<std::string> used = proxies_used(l);
	size_t first_node = p.dash_x ? 1 : 0;
	ASSERT_EQ(used.size(), first_node + 5);
	if (p.dash_x) {
		EXPECT_EQ(used[0], dead_proxy.host());
	}
	for (size_t i = first_node; i < used.size(); i++) {
		EXPECT_TRUE(used[i] == node_host(p.node_a) || used[i] == node_host(p.node_b))
		    << used[i];
	}
	EXPECT_EQ(count_of(l, "vhttp_proxy() failed."), used.size());
	EXPECT_EQ(count_of(l, "QILEC_00703: Failed to communicate with quillet server.\n"), 1u);
	EXPECT_EQ(count_of(l, "QILEC_XXXXX: fetch_qildnsc() failed.\n"), 1u);
	EXPECT_LT(l.rfind("Use the proxy"), l.find("QILEC_00703"));
	EXPECT_EQ(live.request_count(), 0u);
}

const DeadNodesCase kDeadNodes[] = {
    {"ThroughDashX", true, "127.0.0.82", "127.0.0.83"},
    {"Direct", false, "127.0.0.86", "127.0.0.87"},
};

INSTANTIATE_TEST_SUITE_P(Nodes, DeadNodes, ::testing::ValuesIn(kDeadNodes),
    CaseName());

/* What a -X proxy answers to CONNECT. */
struct ProxyReplyCase {
	const char *name;
	const char *reply;
	bool accepted;
};

class ProxyReply : public ConfigTest, public ::testing::WithParamInterface<ProxyReplyCase> {};

TEST_P(ProxyReply, OnlyStatus200OpensTheTunnel)
{
	const ProxyReplyCase &p = GetParam();
	FakeHttpServer config(HttpScript::json(kDocument));
	ProxyScript script;
	script.reply = p.reply;
	script.hold = 2000ms;
	FakeConnectProxy proxy(script);

	if (p.accepted) {
		start({"-X", proxy.host()}, config.config_env());
		ASSERT_FALSE(HasFatalFailure());
		EXPECT_EQ(config.request_count(), 1u);
		EXPECT_NE(log().find("[INFO] Your default country code is US."), std::string::npos);
	} else {
		expect_start_fails({"-X", proxy.host()}, config.config_env());
		EXPECT_NE(log().find(std::string("QILEC_00458: No HTTP 200 in the response. ") +
		    p.reply), std::string::npos);
		EXPECT_EQ(config.request_count(), 0u);
		EXPECT_NE(log().find("QILEC_00703"), std::string::npos);
	}
	std::string l = log();
	EXPECT_EQ(proxies_used(l), std::vector<std::string>{proxy.host()});
	ASSERT_EQ(proxy.connect_count(), 1u);
	EXPECT_EQ(proxy.connects()[0].raw, "CONNECT " + config.host() + " HTTP/1.1\r\n\r\n");
}

const ProxyReplyCase kProxyReplies[] = {
    {"Http11Ok", "HTTP/1.1 200 Connection established\r\n\r\n", true},
    {"Http10Ok", "HTTP/1.0 200 OK\r\nProxy-Agent: fake\r\n\r\n", true},
    {"Forbidden", "HTTP/1.1 403 Forbidden\r\n\r\n", false},
    {"Code2000", "HTTP/1.1 2000 OK\r\n\r\n", false},
    {"NotHttp", "SSH-2.0-OpenSSH\r\n\r\n", false},
};

INSTANTIATE_TEST_SUITE_P(Replies, ProxyReply, ::testing::ValuesIn(kProxyReplies),
    CaseName());

/* The static nodes file, with the server unreachable: its complaint (if
 * any), then the fetch fails without any node attempt. */
struct NodesFileCase {
	const char *name;
	std::optional<std::string> content; /* nullopt: no file */
	const char *complaint;              /* a pattern, or "" for none */
};

class NodesFile : public ConfigTest, public ::testing::WithParamInterface<NodesFileCase> {};

TEST_P(NodesFile, NoNodeAttemptWithoutAUsableList)
{
	const NodesFileCase &p = GetParam();
	ClosedPort dead;
	if (p.content)
		put(kNodesFile, *p.content);

	expect_start_fails({}, dead.config_env());

	std::string l = log();
	size_t complaint = std::string::npos;
	std::smatch m;
	if (*p.complaint != '\0') {
		ASSERT_TRUE(std::regex_search(l, m, std::regex(p.complaint)))
		    << "no line matching " << p.complaint;
		complaint = static_cast<size_t>(m.position(0));
	}
	/* The file's complaint, then the failed direct fetch. */
	EXPECT_EQ(count_of(l, "QILEC_XXXXX:"), *p.complaint != '\0' ? 2u : 1u);
	EXPECT_TRUE(proxies_used(l).empty());
	EXPECT_EQ(l.find("Static node"), std::string::npos);
	size_t failed = l.find("QILEC_00703: Failed to communicate with quillet server.\n");
	ASSERT_NE(failed, std::string::npos);
	if (complaint != std::string::npos) {
		EXPECT_LT(complaint, failed);
	}
	EXPECT_EQ(count_of(l, "QILEC_00703"), 1u);
	EXPECT_NE(l.find("QILEC_XXXXX: fetch_qildnsc() failed.\n"), std::string::npos);
}

const NodesFileCase kNodesFiles[] = {
    {"Missing", std::nullopt,
     R"(\[ERROR\] QILEC_XXXXX: error while parsing JSON format: on line -1: .*qildnsc_staticnodes\.json)"},
    {"NotJson", "staticnodes = 127.0.0.84\n",
     R"(\[ERROR\] QILEC_XXXXX: error while parsing JSON format: on line 1: \S)"},
    {"BrokenOnLineThree", "{\n  \"staticnodes\": [\n    {\"ip\": 127.0.0.84}\n  ]\n}\n",
     R"(\[ERROR\] QILEC_XXXXX: error while parsing JSON format: on line 3: \S)"},
    {"Empty", "", R"(\[ERROR\] QILEC_XXXXX: error while parsing JSON format: on line \d+: \S)"},
    {"RootArray", R"([{"ip": "127.0.0.84"}])", R"(\[ERROR\] QILEC_XXXXX: No object type\.\n)"},
    {"NoStaticnodes", R"({"nodes": [{"ip": "127.0.0.84"}]})",
     R"(\[ERROR\] QILEC_XXXXX: No 'staticnodes' object found\.\n)"},
    {"StaticnodesObject", R"({"staticnodes": {"ip": "127.0.0.84"}})",
     R"(\[ERROR\] QILEC_XXXXX: Wrong 'staticnodes' type\.\n)"},
    {"StaticnodesString", R"({"staticnodes": "127.0.0.84"})",
     R"(\[ERROR\] QILEC_XXXXX: Wrong 'staticnodes' type\.\n)"},
    {"EmptyArray", R"({"staticnodes": []})", ""},
};

INSTANTIATE_TEST_SUITE_P(Files, NodesFile, ::testing::ValuesIn(kNodesFiles),
    CaseName());

/* Nodes without a string "ip": each attempt is used up with a warning,
 * no proxy is tried, the process ends by itself. */
struct BadNodeCase {
	const char *name;
	const char *node; /* the element of "staticnodes" */
};

class BadNode : public ConfigTest, public ::testing::WithParamInterface<BadNodeCase> {};

TEST_P(BadNode, UsesUpAnAttemptWithAWarning)
{
	ClosedPort dead;
	put(kNodesFile, std::string(R"({"staticnodes": [)") + GetParam().node + "]}");

	expect_start_fails({}, dead.config_env());

	std::string l = log();
	EXPECT_TRUE(proxies_used(l).empty());
	EXPECT_EQ(count_of(l, "Static node 0 is not an object"), 5u);
	EXPECT_EQ(count_of(l, "QILEC_00703: Failed to communicate with quillet server.\n"), 1u);
	EXPECT_NE(l.find("QILEC_XXXXX: fetch_qildnsc() failed.\n"), std::string::npos);
}

const BadNodeCase kBadNodes[] = {
    {"Number", "42"},
    {"String", R"("127.0.0.84")"},
    {"Null", "null"},
    {"Array", R"(["127.0.0.84"])"},
    {"IpNumber", R"({"ip": 84})"},
    {"IpNull", R"({"ip": null})"},
    {"IpArray", R"({"ip": ["127.0.0.84"]})"},
    {"NoIp", R"({"host": "127.0.0.84"})"},
};

INSTANTIATE_TEST_SUITE_P(Nodes, BadNode, ::testing::ValuesIn(kBadNodes), CaseName());

/* Documents that must be refused: the start-up ends after the fetch,
 * before any server list. */
struct RefusedCase {
	const char *name;
	HttpScript reply;
	const char *message;
};

class Refused : public ConfigTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, StartUpEndsWithTheMessage)
{
	const RefusedCase &p = GetParam();
	FakeHttpServer config(p.reply);

	expect_start_fails({}, config.config_env());

	std::string l = log();
	EXPECT_EQ(config.request_count(), 1u);
	EXPECT_NE(l.find(std::string("[ERROR] ") + p.message), std::string::npos)
	    << "expected: " << p.message;
	EXPECT_EQ(count_of(l, "QILEC_0075"), 1u);
	/* The fetch itself worked. */
	EXPECT_EQ(l.find("fetch_qildnsc() failed"), std::string::npos);
	EXPECT_EQ(l.find("QILEC_00703"), std::string::npos);
	EXPECT_EQ(l.find("country code"), std::string::npos);
	EXPECT_EQ(l.find("Using DNS servers"), std::string::npos);
	EXPECT_EQ(l.find("for China"), std::string::npos);
}

const char kNotObject[] = "QILEC_00753: The result isn't object.";
const char kNoCc[] = "QILEC_00754: No cc object found.\n";
const char kNoServers[] = "QILEC_00755: dns_servers is NULL or not array\n";
const char kNotString[] = "QILEC_00756: It's not a string type for entry\n";

const RefusedCase kRefused[] = {
    {"RootArray", HttpScript::json(R"(["192.0.2.10"])"), "QILEC_00753: The result isn't object.\n"},
    {"NotJson", HttpScript::json("cc=US&dns_servers=192.0.2.10"), kNotObject},
    {"TruncatedJson", HttpScript::json(R"({"cc": "US", "dns_servers": [)"), kNotObject},
    {"EmptyBody", HttpScript::json(""), kNotObject},
    {"NotFoundWithBody",
     HttpScript::response("HTTP/1.1 404 Not Found", {"Content-Length: 9"}, "Not Found"),
     kNotObject},
    {"NotFoundWithoutBody", HttpScript::response("HTTP/1.1 404 Not Found", {}, ""), kNotObject},
    {"NoCc", HttpScript::json(R"({"dns_servers": ["192.0.2.10"]})"), kNoCc},
    {"CcNumber", HttpScript::json(R"({"cc": 86, "dns_servers": []})"), kNoCc},
    {"CcNull", HttpScript::json(R"({"cc": null, "dns_servers": []})"), kNoCc},
    {"NoServers", HttpScript::json(R"({"cc": "US"})"), kNoServers},
    {"ServersString", HttpScript::json(R"({"cc": "US", "dns_servers": "192.0.2.10"})"),
     kNoServers},
    {"ServersObject", HttpScript::json(R"({"cc": "US", "dns_servers": {"a": "192.0.2.10"}})"),
     kNoServers},
    {"ServersNull", HttpScript::json(R"({"cc": "US", "dns_servers": null})"), kNoServers},
    {"NumberAfterString",
     HttpScript::json(R"({"cc": "US", "dns_servers": ["192.0.2.10", 53]})"), kNotString},
    {"NestedArray", HttpScript::json(R"({"cc": "US", "dns_servers": [["192.0.2.10"]]})"),
     kNotString},
    {"NullEntry", HttpScript::json(R"({"cc": "US", "dns_servers": [null, "192.0.2.10"]})"),
     kNotString},
};

INSTANTIATE_TEST_SUITE_P(Documents, Refused, ::testing::ValuesIn(kRefused),
    CaseName());

/* The server-list text built from "dns_servers"; the document is kept as
 * the last good one only when the start that used it worked. */
struct ListCase {
	const char *name;
	const char *servers; /* the JSON array */
	const char *list;    /* the text logged */
	bool starts;
};

class ServerListText : public ConfigTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ServerListText, BuiltFromTheDocument)
{
	const ListCase &p = GetParam();
	FakeHttpServer config(
	    HttpScript::json(std::string(R"({"cc": "US", "dns_servers": )") + p.servers + "}"));
	const std::string line = std::string("[INFO] Using DNS servers: ") + p.list + "\n";

	const std::string saved = dir_.file("qildnsc_config.json");
	if (p.starts) {
		start({}, config.config_env());
		ASSERT_FALSE(HasFatalFailure());
		EXPECT_TRUE(wait_until([&] { return std::filesystem::exists(saved); }, 5s));
	} else {
		expect_start_fails({}, config.config_env());
		/* The entry as written cannot be resolved. */
		EXPECT_NE(log().find(std::string("QILEC_00689: getaddrinfo(3) for ") + p.list),
		    std::string::npos);
		EXPECT_FALSE(std::filesystem::exists(saved));
	}
	EXPECT_NE(log().find(line), std::string::npos) << "expected: " << line;
}

const ListCase kLists[] = {
    {"Empty", "[]", "", true},
    {"One", R"(["192.0.2.10"])", "E192.0.2.10:10015", true},
    {"ThreeWithAName", R"(["192.0.2.10", "localhost", "198.51.100.20"])",
     "E192.0.2.10:10015,Elocalhost:10015,E198.51.100.20:10015", true},
    {"EntryWithAPort", R"(["192.0.2.1:53"])", "E192.0.2.1:53:10015", false},
    {"Ipv6Literal", R"(["2001:db8::10", "192.0.2.10"])",
     "E[2001:db8::10]:10015,E192.0.2.10:10015", true},
    {"ScopedIpv6", R"(["fe80::10%1"])", "E[fe80::10%1]:10015", true},
    /* Without diversion, no server at all still starts (and says so). */
    {"EveryEntryRefused", R"(["[2001:db8::1]:53", "fe80::1%lo,x"])", "", true},
};

INSTANTIATE_TEST_SUITE_P(Lists, ServerListText, ::testing::ValuesIn(kLists),
    CaseName());

/* An entry that is not one host with an optional port is left out, named
 * in a warning: a comma would add a plain server, a line end a log line. */
TEST_F(ConfigTest, EntriesThatSmuggleMoreAreRefused)
{
	FakeHttpServer config(HttpScript::json(R"({"cc": "US", "dns_servers": [)"
	    R"("192.0.2.4:10015,198.51.100.9", "192.0.2.10", "198.51.100.7 ", )"
	    R"("x\n[WARN] forged", "", "localhost"]})"));

	start({}, config.config_env());
	ASSERT_FALSE(HasFatalFailure());
	std::string l = log();
	EXPECT_NE(l.find("[INFO] Using DNS servers: E192.0.2.10:10015,Elocalhost:10015\n"),
	    std::string::npos);
	for (const char *shown : {"192.0.2.4:10015,198.51.100.9", "198.51.100.7 ",
	         "x\\x0a[WARN] forged", ""}) {
		EXPECT_EQ(count_of(l, std::string("QILEC_00791: dns_servers entry \"") + shown +
		    "\" refused: not one host with an optional port.\n"), 1u) << shown;
	}
	EXPECT_EQ(l.find("\n[WARN] forged"), std::string::npos);
}

/* The country profile: "cc" starting with CN chooses the CN files,
 * unless the server list came from -d. */
struct CountryCase {
	const char *name;
	const char *cc;
	bool dash_d;
	bool cn_files;   /* blacklist_CN.txt and route_CN.txt exist */
	bool china;      /* the profile is chosen */
	bool starts;
};

class Country : public ConfigTest, public ::testing::WithParamInterface<CountryCase> {};

TEST_P(Country, ProfileAndFiles)
{
	const CountryCase &p = GetParam();
	FakeHttpServer config(HttpScript::json(
	    std::string(R"({"cc": ")") + p.cc + R"(", "dns_servers": ["192.0.2.10"]})"));
	/* The user's own files, always present: 3 blocked addresses, 2
	 * routes. */
	put("my_black.txt", "192.0.2.61\n192.0.2.62\n192.0.2.63\n");
	put("my_route.txt", "192.0.2.0/25\n198.51.100.0/24\n");
	if (p.cn_files) {
		put("blacklist_CN.txt", "192.0.2.71\n192.0.2.72\n");
		put("route_CN.txt", "192.0.2.0/24\n");
	}
	std::vector<std::string> extra{"-b", "my_black.txt", "-c", "my_route.txt"};
	if (p.dash_d)
		extra.insert(extra.end(), {"-d", "127.0.0.1:5300"});

	if (p.starts) {
		start(extra, config.config_env());
		ASSERT_FALSE(HasFatalFailure());
	} else {
		expect_start_fails(extra, config.config_env());
	}

	std::string l = log();
	EXPECT_EQ(count_of(l, "[INFO] Uses blacklist and CRoute for China\n"), p.china ? 1u : 0u);
	EXPECT_EQ(count_of(l, std::string("[INFO] Your default country code is ") + p.cc + ".\n"),
	    1u);
	if (p.china && !p.cn_files) {
		EXPECT_NE(l.find("QILEC_00685: Failed to openopen IP blacklist: blacklist_CN.txt\n"),
		    std::string::npos);
	} else if (p.china) {
		EXPECT_NE(l.find("[INFO] 2 entries of IP blacklist are loaded."), std::string::npos);
		EXPECT_NE(l.find("[INFO] 1 CRoute entries are loaded."), std::string::npos);
	} else {
		EXPECT_NE(l.find("[INFO] 3 entries of IP blacklist are loaded."), std::string::npos);
		EXPECT_NE(l.find("[INFO] 2 CRoute entries are loaded."), std::string::npos);
	}
	if (p.starts) {
		EXPECT_NE(l.find(std::string("[INFO] Using DNS servers: ") +
		    (p.dash_d ? "127.0.0.1:5300\n" : "E192.0.2.10:10015\n")), std::string::npos);
	}
}

const CountryCase kCountries[] = {
    {"CnWithoutItsFiles", "CN", false, false, true, false},
    {"CnReplacesDashBAndDashC", "CN", false, true, true, true},
    {"CnxCountsAsCn", "CNX", false, false, true, false},
    {"CnxWithItsFiles", "CNX", false, true, true, true},
    {"LowerCaseCnDoesNot", "cn", false, true, false, true},
    {"SingleC", "C", false, true, false, true},
    {"CnNotAtTheStart", "XCN", false, true, false, true},
    {"CnWithDashD", "CN", true, false, false, true},
};

INSTANTIATE_TEST_SUITE_P(Codes, Country, ::testing::ValuesIn(kCountries),
    CaseName());

/* Without the kernel's generator nothing is fetched: the start ends. */
TEST_F(ConfigTest, BrokenRandomSourceEndsTheStart)
{
	if (testing_windows_build())
		GTEST_SKIP() << "the filter refuses the Linux call; Windows draws from rand_s()";
	FakeHttpServer config(HttpScript::json(kDocument));

	expect_start_fails({}, config.config_env(), NO_GETRANDOM);
	std::string l = log();
	EXPECT_NE(l.find("[ERROR] rand_s() failed 38\n"), std::string::npos); /* ENOSYS */
	EXPECT_NE(l.find("[ERROR] QILEC_00790: The system's random generator does not work; "
	                 "cannot run without it.\n"), std::string::npos);
	EXPECT_EQ(config.request_count(), 0u);
}

/* The 5120-byte buffer keeps one byte for the terminator. */
TEST_F(ConfigTest, BodyOf5119BytesIsAccepted)
{
	const std::string doc = padded(R"({"cc": "US", "dns_servers": ["192.0.2.10"]})", 5119);
	ASSERT_EQ(doc.size(), 5119u);
	FakeHttpServer config(HttpScript::json(doc));

	start({}, config.config_env());
	ASSERT_FALSE(HasFatalFailure());
	EXPECT_NE(log().find("[INFO] Using DNS servers: E192.0.2.10:10015\n"), std::string::npos);
}

TEST_F(ConfigTest, BodyOf5120BytesIsRefused)
{
	const std::string doc = padded(R"({"cc": "US", "dns_servers": ["192.0.2.10"]})", 5120);
	FakeHttpServer config(HttpScript::json(doc));

	expect_start_fails({}, config.config_env());
	std::string l = log();
	EXPECT_EQ(config.request_count(), 1u);
	EXPECT_NE(l.find("QILEC_XXXXX: fetch_qildnsc() failed.\n"), std::string::npos);
	EXPECT_EQ(l.find("country code"), std::string::npos);
}

TEST_F(ConfigTest, BodyOf5121BytesFailsInTheClient)
{
	const std::string doc = padded(R"({"cc": "US", "dns_servers": ["192.0.2.10"]})", 5121);
	FakeHttpServer config(HttpScript::json(doc));

	expect_start_fails({}, config.config_env());
	std::string l = log();
	size_t space = l.find("QILEC_00570: Not enough buffer space\n");
	size_t failed = l.find("QILEC_00703: Failed to communicate with quillet server.\n");
	ASSERT_NE(space, std::string::npos);
	ASSERT_NE(failed, std::string::npos);
	EXPECT_LT(space, failed);
	EXPECT_NE(l.find("QILEC_XXXXX: fetch_qildnsc() failed.\n"), std::string::npos);
}

TEST_F(ConfigTest, LargeBodyCostsEveryNodeAttempt)
{
	const std::string doc = padded(R"({"cc": "US", "dns_servers": ["192.0.2.10"]})", 100000);
	FakeHttpServer config(HttpScript::json(doc));
	FakeConnectProxy node({}, "127.0.0.85", kNodePort);
	put(kNodesFile, nodes_json({"127.0.0.85"}));

	expect_start_fails({}, config.config_env());
	std::string l = log();
	/* The direct attempt and five through the node, each too large. */
	EXPECT_EQ(count_of(l, "QILEC_00570: Not enough buffer space\n"), 6u);
	EXPECT_EQ(proxies_used(l), std::vector<std::string>(5, node_host("127.0.0.85")));
	EXPECT_EQ(node.connect_count(), 5u);
	EXPECT_EQ(config.request_count(), 6u);
	EXPECT_EQ(count_of(l, "QILEC_00703"), 1u);
}

TEST_F(ConfigTest, DashDDoesNotSpareTheFetch)
{
	ClosedPort dead;

	expect_start_fails({"-d", "127.0.0.1:5300"}, dead.config_env());
	std::string l = log();
	EXPECT_NE(l.find("Failed to communicate with server for GET"), std::string::npos);
	EXPECT_NE(l.find("QILEC_00703: Failed to communicate with quillet server.\n"),
	    std::string::npos);
	EXPECT_NE(l.find("QILEC_XXXXX: fetch_qildnsc() failed.\n"), std::string::npos);
	EXPECT_EQ(l.find("Using DNS servers"), std::string::npos);
}

} // namespace
