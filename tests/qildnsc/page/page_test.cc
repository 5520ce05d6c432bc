/*
 * page_test.cc -- the query page: who may see it, what it records of each
 * answer, and a real browser showing it.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>
#include <jansson.h>

#include "dns_client.h"
#include "dns_message.h"
#include "fake_http.h"
#include "fake_upstream.h"
#include "fd.h"
#include "forwarder_process.h"
#include "page/page_access.h"
#include "page/page_json.h"
#include "record/record.h"
#include "record/record_divert.h"
#include "servers/servers.h"
#include "process.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;

namespace {

sockaddr_storage
peer(const char *addr)
{
	sockaddr_storage ss{};
	auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
	auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
	if (inet_pton(AF_INET, addr, &sin->sin_addr) == 1)
		sin->sin_family = AF_INET;
	else if (inet_pton(AF_INET6, addr, &sin6->sin6_addr) == 1)
		sin6->sin6_family = AF_INET6;
	return ss;
}

TEST(PageAccess, OnlyALocalBrowserWithTheTokenAndThePagesOwnHost)
{
	const char *tok = "00112233445566778899aabbccddeeff";
	struct Row {
		const char *peer, *method, *host, *token;
		page_access want;
	} rows[] = {
		{"127.0.0.1", "GET", "127.0.0.1:8053", tok, PAGE_OK},
		{"127.0.0.9", "HEAD", "localhost:8053", tok, PAGE_OK},
		{"::1", "GET", "127.0.0.1:8053", tok, PAGE_OK},
		{"192.0.2.7", "GET", "127.0.0.1:8053", tok, PAGE_NOT_LOOPBACK},
		{"::ffff:192.0.2.7", "GET", "127.0.0.1:8053", tok, PAGE_NOT_LOOPBACK},
		{"127.0.0.1", "GET", "rebound.example:8053", tok, PAGE_BAD_HOST},
		{"127.0.0.1", "GET", "127.0.0.1", tok, PAGE_BAD_HOST},
		{"127.0.0.1", "GET", "127.0.0.1:80", tok, PAGE_BAD_HOST},
		{"127.0.0.1", "GET", nullptr, tok, PAGE_BAD_HOST},
		{"127.0.0.1", "GET", "127.0.0.1:8053", nullptr, PAGE_BAD_TOKEN},
		{"127.0.0.1", "GET", "127.0.0.1:8053", "00112233445566778899aabbccddeef0", PAGE_BAD_TOKEN},
		{"127.0.0.1", "GET", "127.0.0.1:8053", "00112233", PAGE_BAD_TOKEN},
		{"127.0.0.1", "POST", "127.0.0.1:8053", tok, PAGE_BAD_METHOD},
		{"127.0.0.1", "DELETE", "127.0.0.1:8053", tok, PAGE_BAD_METHOD},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(std::string(r.peer) + " " + r.method + " " + (r.host ? r.host : "(none)"));
		sockaddr_storage ss = peer(r.peer);
		EXPECT_EQ(page_check(reinterpret_cast<sockaddr *>(&ss), r.method, r.host, r.token, 8053,
		    tok), r.want);
	}
}

/* Recording is turned on once for the whole program. */
void
record_ready()
{
	if (!record_on())
		record_init(16);
}

/* A field of record `seq` as the page gives it. */
std::string
entry_field(uint64_t seq, const char *key)
{
	json_t *doc = json_loads(page_queries_json(seq - 1, 16).c_str(), 0, nullptr);
	json_t *v = json_object_get(json_array_get(json_object_get(doc, "queries"), 0), key);
	std::string out = json_is_string(v) ? json_string_value(v) : json_is_true(v) ? "true" :
	    v ? "?" : "(none)";
	json_decref(doc);
	return out;
}

/* What the page says in words: RCODEs by name, a TLS server as its list
 * entry, a query a blocklisted answer was dropped from, a long name of
 * odd bytes cut cleanly, and a program's name that is not UTF-8. */
TEST(PageWords, AsAReaderWouldSayThem)
{
	record_ready();
	auto server = [](uint32_t flags, const char *name, uint16_t port) {
		upstream_server us{};
		auto *sin = reinterpret_cast<sockaddr_in *>(&us.addr);
		sin->sin_family = AF_INET;
		sin->sin_port = htons(port);
		(void)inet_pton(AF_INET, "192.0.2.1", &sin->sin_addr);
		us.addrlen = sizeof *sin;
		us.flags = flags;
		(void)snprintf(us.tls_name, sizeof us.tls_name, "%s", name);
		return page_server_text(&us);
	};
	sockaddr_storage lo = peer("192.0.2.9");
	struct odr_timeval now = {};
	auto query = [&](const std::vector<uint8_t> &wire) {
		struct vdns_question q = {};
		q.present = 1;
		q.type = 1;
		memcpy(q.name, wire.data(), wire.size());
		q.name_len = (uint8_t)wire.size();
		return record_query(RECORD_UDP, &lo, &q, &now);
	};
	std::vector<uint8_t> odd;
	for (int l = 0; l < 3; l++) {
		odd.push_back(63);
		odd.insert(odd.end(), 63, 0xff);
	}
	odd.push_back(0);
	std::string cut = entry_field(query(odd), "name");
	uint64_t app = query({1, 'a', 0});
	record_app(app, 0, 1, "\xff" "curl\xc3");
	uint64_t blocked = query({1, 'b', 0});
	dns::Bytes ask = dns::build_query(1, "b", 1);
	dns::Bytes bad = dns::build_answer(ask, {dns::a_record("192.0.2.66")});
	dns::Bytes good = dns::build_answer(ask, {dns::a_record("10.0.0.1")});
	record_answer(blocked, 0, good.data(), good.size(), RECORD_RELAYED, nullptr, &now);
	record_answer(blocked, 1, bad.data(), bad.size(), RECORD_BLOCKED, nullptr, &now);
	const std::string fffd = "\xef\xbf\xbd";
	struct Row {
		std::string got, want;
	} rows[] = {
		{page_rcode_text(0), "NOERROR"},
		{page_rcode_text(3), "NXDOMAIN"},
		{page_rcode_text(5), "REFUSED"},
		{page_rcode_text(12), "RCODE12"},
		{server(UPSTREAM_TLS, "dns.example", 853), "tls://192.0.2.1:853#dns.example"},
		{server(UPSTREAM_TLS, "", 853), "tls://192.0.2.1:853"},
		{server(0, "", 53), "192.0.2.1:53"},
		{entry_field(blocked, "blocked"), "true"},
		{entry_field(app, "blocked"), "(none)"},
		{cut.substr(cut.size() - 7), "\\255\xe2\x80\xa6"},
		{std::to_string(cut.find("..") == std::string::npos && cut.size() < VDNS_MAXCDNAME + 8),
		    "1"},
		{entry_field(app, "app"), fffd + "curl" + fffd},
		{page_utf8("caf\xc3\xa9", 5), "caf\xc3\xa9"},
		{page_utf8("\xc0\xaf\xed\xa0\x80", 5), fffd + fffd + fffd + fffd + fffd},
	};
	for (const Row &r : rows)
		EXPECT_EQ(r.got, r.want);
}

/* A datagram from the loopback is a diverted one when diversion noted its
 * port and family, once; it carries its packet's owner. */
TEST(Record, ADivertedQueryIsToldFromOneSentToUsByItsNote)
{
	record_ready();
	record_divert_note(AF_INET, 40000, 1000, 100);
	record_divert_note(AF_INET6, 40001, 1001, 101);
	struct Row {
		const char *client;
		uint16_t port;
		enum record_transport t;
		const char *want; /* transport uid gid */
	} rows[] = {
		{"127.0.0.1", 40000, RECORD_UDP, "diverted UDP 1000 100"},
		{"127.0.0.1", 40000, RECORD_UDP, "UDP -1 -1"},      /* a note counts once */
		{"::1", 40000, RECORD_UDP, "UDP -1 -1"},            /* another family's port */
		{"127.0.0.1", 40001, RECORD_UDP, "UDP -1 -1"},
		{"::1", 40001, RECORD_TCP, "TCP -1 -1"},            /* notes are of datagrams */
		{"::1", 40001, RECORD_UDP, "diverted UDP 1001 101"},
		{"192.0.2.1", 40002, RECORD_DIVERTED_UDP, "diverted UDP -1 -1"},
		{"192.0.2.1", 40003, RECORD_DIVERTED_TCP, "diverted TCP -1 -1"},
	};
	struct vdns_question q = {};
	q.present = 1;
	q.type = 1;
	struct odr_timeval now = {};
	for (const Row &r : rows) {
		SCOPED_TRACE(std::string(r.client) + " " + std::to_string(r.port));
		sockaddr_storage ss = peer(r.client);
		if (ss.ss_family == AF_INET)
			reinterpret_cast<sockaddr_in *>(&ss)->sin_port = htons(r.port);
		else
			reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = htons(r.port);
		uint64_t seq = record_query(r.t, &ss, &q, &now);
		json_t *doc = json_loads(page_queries_json(seq - 1, 1).c_str(), 0, nullptr);
		json_t *e = json_array_get(json_object_get(doc, "queries"), 0);
		auto num = [e](const char *k) {
			json_t *v = json_object_get(e, k);
			return v ? std::to_string(json_integer_value(v)) : std::string("-1");
		};
		EXPECT_EQ(std::string(json_string_value(json_object_get(e, "transport"))) + " " +
		    num("uid") + " " + num("gid"), r.want);
		json_decref(doc);
	}
}

uint16_t
free_tcp_port()
{
	Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in sa{};
	sa.sin_family = AF_INET;
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof sa;
	if (bind(s.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
	    getsockname(s.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0)
		return 0;
	return ntohs(sa.sin_port);
}

class PageTest : public ::testing::Test {
protected:
	void
	TearDown() override
	{
		if (fwd_) {
			fwd_->signal(SIGTERM);
			auto st = fwd_->wait(10s);
			EXPECT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 0);
			expect_no_sanitizer_report(fwd_->stderr_text());
		}
		if (HasFailure())
			std::cerr << "---- qildnsc_stdout.txt ----\n"
			          << read_log(dir_.file("qildnsc_stdout.txt"));
	}

	void
	start(const std::string &list, std::vector<std::string> extra = {})
	{
		page_port_ = free_tcp_port();
		extra.insert(extra.begin(), {"-d", list, "-u", std::to_string(page_port_)});
		start_forwarder(dir_, extra, {config_.config_env()}, 10s, &fwd_, &err_, &port_);
		/* A file of an earlier start names another port. */
		std::string url;
		ASSERT_TRUE(wait_until([&] {
			url = read_file(dir_.file("qildnsc_page.txt"));
			return url.find(host() + "/") != std::string::npos;
		}, 5s));
		url_ = url.substr(0, url.find('\n'));
		token_ = url_.substr(url_.find("token=") + 6);
	}

	std::string host() const { return "127.0.0.1:" + std::to_string(page_port_); }

	/* The queries the API gives, by name. */
	std::map<std::string, json_t *>
	queries()
	{
		std::string r = http_get(page_port_, "/api/queries?token=" + token_, host());
		json_decref(doc_);
		doc_ = json_loads(r.substr(r.find("\r\n\r\n") + 4).c_str(), 0, nullptr);
		std::map<std::string, json_t *> out;
		size_t i;
		json_t *q;
		json_array_foreach(json_object_get(doc_, "queries"), i, q)
			out[json_string_value(json_object_get(q, "name"))] = q;
		return out;
	}

	~PageTest() override { json_decref(doc_); }

	TmpDir dir_;
	FakeHttpServer config_{HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})")};
	std::unique_ptr<Process> fwd_;
	std::string err_, url_, token_;
	uint16_t port_ = 0, page_port_ = 0;
	json_t *doc_ = nullptr;
};

TEST_F(PageTest, OnlyForWhomItBelongsAndReadOnly)
{
	FakeUpstream up("127.0.0.2", false);
	start(up.list_entry());
	ASSERT_FALSE(HasFatalFailure());
	struct stat st{};
	ASSERT_EQ(stat(dir_.file("qildnsc_page.txt").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u) << "the token is its owner's";
	EXPECT_EQ(url_, "http://127.0.0.1:" + std::to_string(page_port_) + "/?token=" + token_);
	EXPECT_EQ(token_.size(), 32u);
	EXPECT_EQ(read_log(dir_.file("qildnsc_stdout.txt")).find(token_), std::string::npos)
	    << "the log is no place for the token";

	const std::string t = "?token=" + token_;
	struct Row {
		std::string request;
		const char *status;
	} rows[] = {
		{"GET /" + t + " HTTP/1.1\r\nHost: " + host() + "\r\n", "200"},
		{"GET /api/stats" + t + " HTTP/1.1\r\nHost: localhost:" + std::to_string(page_port_) +
		    "\r\n", "200"},
		{"GET /api/queries HTTP/1.1\r\nHost: " + host() + "\r\n", "403"},
		{"GET /api/queries?token=" + std::string(32, 'a') + " HTTP/1.1\r\nHost: " + host() +
		    "\r\n", "403"},
		{"GET /api/queries" + t + " HTTP/1.1\r\nHost: attacker.example:" +
		    std::to_string(page_port_) + "\r\n", "421"},
		{"GET /api/queries" + t + " HTTP/1.0\r\n", "421"},
		{"POST /api/queries" + t + " HTTP/1.1\r\nHost: " + host() +
		    "\r\nContent-Length: 2\r\n\r\n{}", "405"},
		{"GET /nothing" + t + " HTTP/1.1\r\nHost: " + host() + "\r\n", "404"},
		{"GET /favicon.ico HTTP/1.1\r\nHost: " + host() + "\r\n", "204"},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.request);
		std::string resp = http_exchange(page_port_, r.request + "Connection: close\r\n\r\n");
		EXPECT_EQ(resp.substr(0, 12), std::string("HTTP/1.1 ") + r.status) << resp;
		EXPECT_NE(resp.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
		EXPECT_EQ(resp.find("Access-Control-"), std::string::npos) << "no CORS header";
	}
}

/* The service restarts at every resume: a bookmark outlives it, on
 * another port too; a file others could have read or written is not
 * believed. */
TEST_F(PageTest, TheTokenOutlivesARestart)
{
	const std::string planted = "http://127.0.0.1:1/?token=" + std::string(32, 'a') + "\n";
	write_file(dir_.file("qildnsc_page.txt"), planted);
	ASSERT_EQ(chmod(dir_.file("qildnsc_page.txt").c_str(), 0644), 0);
	FakeUpstream up("127.0.0.2", false);
	start(up.list_entry());
	ASSERT_FALSE(HasFatalFailure());
	EXPECT_NE(token_, std::string(32, 'a'));
	const std::string first = token_;
	fwd_->signal(SIGTERM);
	ASSERT_TRUE(fwd_->wait(10s));
	fwd_.reset();

	start(up.list_entry());
	ASSERT_FALSE(HasFatalFailure());
	EXPECT_EQ(token_, first);
	struct stat st{};
	ASSERT_EQ(stat(dir_.file("qildnsc_page.txt").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	EXPECT_EQ(http_get(page_port_, "/api/stats?token=" + first, host()).substr(0, 12),
	    "HTTP/1.1 200");
}

/* Idle sockets need no token: 32 of them from this machine neither keep
 * the browser out nor stay open for long. A browser's request for its
 * icon is no refusal to warn of. */
TEST_F(PageTest, IdleConnectionsKeepNoRequestOut)
{
	FakeUpstream up("127.0.0.2", false);
	start(up.list_entry());
	ASSERT_FALSE(HasFatalFailure());
	std::vector<std::unique_ptr<Fd>> idle;
	for (int i = 0; i < 32; i++) {
		auto s = std::make_unique<Fd>(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
		sockaddr_in sa{};
		sa.sin_family = AF_INET;
		sa.sin_port = htons(page_port_);
		sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		ASSERT_EQ(connect(s->get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
		idle.push_back(std::move(s));
	}
	EXPECT_EQ(http_get(page_port_, "/api/stats?token=" + token_, host()).substr(0, 12),
	    "HTTP/1.1 200");
	EXPECT_EQ(http_get(page_port_, "/favicon.ico", host()).substr(0, 12), "HTTP/1.1 204");
	/* The server closes each of them: end of file within a generous
	 * bound. */
	for (const auto &s : idle) {
		pollfd p{s->get(), POLLIN, 0};
		char b;
		EXPECT_TRUE(poll(&p, 1, 30000) == 1 && recv(s->get(), &b, 1, 0) <= 0);
	}
	EXPECT_EQ(read_log(dir_.file("qildnsc_stdout.txt")).find("QILEC_00963"), std::string::npos);
}

/* Two servers, the first domestic by the CRoute table: each answer's
 * verdict and cause, what the client got, and which program asked. */
TEST_F(PageTest, EachAnswerWithItsVerdictCauseAndApplication)
{
	auto two = [](const char *a, const char *b) {
		return std::vector<dns::Record>{dns::a_record(a), dns::a_record(b)};
	};
	/* Late enough for the application to be named while it waits. */
	auto reply = [](std::vector<dns::Record> recs, std::chrono::milliseconds d) {
		return [recs, d](const Received &r) {
			return std::vector<Reply>{{d, dns::build_answer(r.message, recs)}};
		};
	};
	std::map<std::string, Script> dom_by = {
		{"two.test", reply(two("10.0.0.1", "10.0.0.2"), 30ms)},
		{"one.test", reply({dns::a_record("10.0.0.1")}, 30ms)},
		{"blocked.test", reply(two("10.0.0.1", "192.0.2.66"), 30ms)},
		{"abroad.test", reply(two("203.0.113.1", "203.0.113.2"), 30ms)},
		{"again.test", reply(two("10.0.0.1", "10.0.0.2"), 30ms)},
		{"dropped.test", reply(two("10.0.0.1", "192.0.2.66"), 30ms)},
	};
	std::map<std::string, Script> far_by = {
		{"two.test", reply(two("10.0.0.3", "10.0.0.4"), 90ms)},
		{"one.test", reply({dns::a_record("10.0.0.9")}, 90ms)},
		{"blocked.test", reply(two("10.0.0.5", "10.0.0.6"), 90ms)},
		{"abroad.test", reply(two("10.0.0.7", "10.0.0.8"), 90ms)},
	};
	auto by = [](std::map<std::string, Script> m) -> Script {
		return [m](const Received &r) {
			auto it = m.find(dns::first_question(r.message)->name);
			return it == m.end() ? std::vector<Reply>{} : it->second(r);
		};
	};
	FakeUpstream dom("127.0.0.2", false, by(dom_by)), far("127.0.0.3", false, by(far_by));
	write_file(dir_.file("route.txt"), "127.0.0.2/32\n10.0.0.0/8\n");
	write_file(dir_.file("block.txt"), "192.0.2.66\n");
	start(dom.list_entry() + "," + far.list_entry(),
	    {"-c", "route.txt", "-b", "block.txt", "-C", "100", "-F", "1"});
	ASSERT_FALSE(HasFatalFailure());

	UdpSocket client("127.0.0.1", 0);
	uint16_t id = 1;
	/* The second "again.test" comes from the cache; every answer to
	 * "dropped.test" is dropped, and SERVFAIL comes after a second. */
	for (const char *name : {"two.test", "one.test", "blocked.test", "abroad.test", "again.test",
	    "again.test", "dropped.test"}) {
		ASSERT_TRUE(client.send_to("127.0.0.1", port_, dns::build_query(id, name, 1)));
		/* Late answers to earlier names may come first. */
		bool got = false;
		for (int i = 0; i < 8 && !got; i++) {
			auto a = client.receive(5s);
			ASSERT_TRUE(a) << name;
			got = dns::message_id(a->data) == id;
		}
		EXPECT_TRUE(got) << name;
		id++;
	}
	ASSERT_TRUE(far.wait_idle(5s));
	const std::string d = dom.list_entry(), f = far.list_entry();
	struct Row {
		const char *name, *outcome;
		std::set<std::string> verdicts; /* server: verdict (cause) */
	} rows[] = {
		{"two.test", "relayed", {d + ": relayed", f + ": late"}},
		{"one.test", "held then sent", {d + ": held then replaced", f + ": held then sent"}},
		{"blocked.test", "relayed", {d + ": dropped: blocklisted (192.0.2.66)", f + ": relayed"}},
		{"abroad.test", "relayed",
		    {d + ": dropped: domestic server pointing abroad (203.0.113.1)", f + ": relayed"}},
		{"again.test", "cache", {}},
		{"dropped.test", "SERVFAIL", {d + ": dropped: blocklisted (192.0.2.66)"}},
	};
	std::map<std::string, json_t *> got;
	/* The held answer goes 0.3 s after the last that replaced it. */
	(void)wait_until([&] {
		got = queries();
		return got.size() == 6 && got["one.test."] != nullptr &&
		    std::string(json_string_value(json_object_get(got["one.test."], "outcome"))) !=
		    "waiting";
	}, 5s);
	char comm[32] = "";
	std::ifstream("/proc/self/comm").getline(comm, sizeof comm);
	for (const Row &r : rows) {
		SCOPED_TRACE(r.name);
		json_t *q = got[r.name + std::string(".")];
		ASSERT_NE(q, nullptr);
		EXPECT_STREQ(json_string_value(json_object_get(q, "outcome")), r.outcome);
		EXPECT_STREQ(json_string_value(json_object_get(q, "transport")), "UDP");
		std::set<std::string> verdicts;
		size_t i;
		json_t *a;
		json_array_foreach(json_object_get(q, "answers"), i, a) {
			json_t *cause = json_object_get(a, "cause");
			verdicts.insert(std::string(json_string_value(json_object_get(a, "server"))) + ": " +
			    json_string_value(json_object_get(a, "verdict")) +
			    (cause ? std::string(" (") + json_string_value(cause) + ")" : ""));
		}
		EXPECT_EQ(verdicts, r.verdicts);
		EXPECT_EQ(json_integer_value(json_object_get(q, "uid")), (json_int_t)getuid());
		EXPECT_EQ(json_integer_value(json_object_get(q, "pid")), (json_int_t)getpid());
		EXPECT_STREQ(json_string_value(json_object_get(q, "app")), comm);
	}
}

/* Headless Chromium renders the page while dig and a small program of its
 * own ask: each row names its application and its verdict. */
TEST_F(PageTest, ABrowserShowsEachQueryWithItsApplication)
{
	const char *chromium = "/usr/bin/chromium";
	if (access(chromium, X_OK) != 0)
		GTEST_SKIP() << "no chromium (Debian package chromium)";
	if (system("command -v dig >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "dig and python3 are needed";
	FakeUpstream up("127.0.0.2", false, [](const Received &r) {
		bool one = dns::first_question(r.message)->name == "held.program.test";
		std::vector<dns::Record> recs{dns::a_record("10.0.0.1")};
		if (!one)
			recs.push_back(dns::a_record("10.0.0.2"));
		/* A server across a network: time for the asker to be named,
		 * sanitizers and all. */
		return std::vector<Reply>{{200ms, dns::build_answer(r.message, recs)}};
	});
	start(up.list_entry());
	ASSERT_FALSE(HasFatalFailure());
	const std::string p = std::to_string(port_);
	ASSERT_EQ(system(("dig @127.0.0.1 -p " + p + " www.dig.test +short >/dev/null").c_str()), 0);
	write_file(dir_.file("ask.py"),
	    "import socket, sys\n"
	    "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
	    "q = bytes.fromhex('abcd01000001000000000000') + b'\\x04held\\x07program\\x04test\\x00'"
	    " + bytes.fromhex('00010001')\n"
	    "s.sendto(q, ('127.0.0.1', int(sys.argv[1])))\n"
	    "s.settimeout(5)\n"
	    "s.recv(1500)\n");
	ASSERT_EQ(system(("python3 " + dir_.file("ask.py") + " " + p).c_str()), 0);

	std::string shot = dir_.file("page.png");
	if (const char *keep = getenv("QILDNSC_PAGE_SCREENSHOT"))
		shot = keep;
	std::string flags = std::string(chromium) + " --headless --no-sandbox --disable-gpu "
	    "--no-first-run --user-data-dir=" + dir_.file("chromium") +
	    " --virtual-time-budget=5000 ";
	std::string dom;
	{
		std::string cmd = "timeout 60 " + flags + "--dump-dom '" + url_ + "' 2>/dev/null";
		std::unique_ptr<FILE, int (*)(FILE *)> f(popen(cmd.c_str(), "r"), pclose);
		char buf[4096];
		for (size_t n; f && (n = fread(buf, 1, sizeof buf, f.get())) > 0;)
			dom.append(buf, n);
	}
	EXPECT_NE(dom.find("<td class=\"name\">www.dig.test.</td>"), std::string::npos) << dom;
	EXPECT_NE(dom.find("<td class=\"app\">dig ("), std::string::npos) << "dig is named";
	EXPECT_NE(dom.find("<td class=\"app\">python3 ("), std::string::npos) << "the program";
	EXPECT_NE(dom.find("held then sent in"), std::string::npos) << "the single record held";
	EXPECT_NE(dom.find("127.0.0.2:" + std::to_string(up.port()) + ": held then sent"),
	    std::string::npos);
	EXPECT_NE(dom.find("live, 2 queries"), std::string::npos);
	(void)system(("timeout 60 " + flags + "--window-size=1280,900 --screenshot=" + shot + " '" +
	    url_ + "' >/dev/null 2>&1").c_str());
	struct stat st{};
	EXPECT_EQ(stat(shot.c_str(), &st), 0) << "a screenshot of the page";
}

} // namespace
