/*
 * vhttp_test.cc -- the HTTP client: the response parser read from memory
 * and from a scripted loopback server (the same table through both), the
 * caller's buffer, the request on the wire, and the CONNECT tunnel.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "closed_port.h"
#include "fake_http.h"
#include "log_capture.h"
#include "vhttp.h"
#include "vss.h"
#include "vtc_log.h"

namespace {

using namespace std::chrono_literals;
using qiltest::ClosedPort;
using qiltest::FakeConnectProxy;
using qiltest::FakeHttpServer;
using qiltest::HttpScript;
using qiltest::HttpStep;
using qiltest::LogCapture;
using qiltest::ProxyScript;

const char kPattern = static_cast<char>(0xa5);

/* ---------------------------------------------------------------- */
/* The response table: each row read from memory and from a socket.  */

struct Row {
	const char *name;
	std::string response;
	int rc;
	std::string body;                /* when rc is 0 */
	std::vector<std::string> logs{}; /* must all appear in the log */
};

std::string
header_lines(int n)
{
	std::string s;
	for (int i = 0; i < n; i++)
		s += "X-H" + std::to_string(i) + ": v\r\n";
	return s;
}

const std::string k200 = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = k200 + "Transfer-Encoding: chunked\r\n\r\n";

std::vector<Row>
rows()
{
	return {
	    {"content_length", k200 + "Content-Length: 5\r\n\r\nhello", 0, "hello"},
	    {"content_length_leading_zero", k200 + "Content-Length: 012\r\n\r\n0123456789abXYZ", 0,
	     "0123456789ab"},
	    {"content_length_zero", k200 + "Content-Length: 0\r\n\r\n", 0, ""},
	    {"content_length_stream_ends_early", k200 + "Content-Length: 10\r\n\r\nhello", 0,
	     "hello"},
	    {"chunked_4_6_0", kChunked + "4\r\nabcd\r\n6\r\nefghij\r\n0\r\n\r\n", 0, "abcdefghij"},
	    {"chunked_name_any_case_size_upper_and_blanks",
	     k200 + "TRANSFER-ENCODING: chunked\r\n\r\nA  \r\n0123456789\r\n0\r\n\r\n", 0,
	     "0123456789"},
	    {"length_wins_over_chunked",
	     k200 + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
	     0, "5\r\nhe"},
	    {"Chunked_is_not_chunked_read_to_end",
	     k200 + "Transfer-Encoding: Chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n", 0,
	     "4\r\nabcd\r\n0\r\n\r\n"},
	    {"blank_before_colon_is_not_the_length",
	     k200 + "Content-Length : 2\r\n\r\nhello", 0, "hello"},
	    {"read_to_end", "HTTP/1.0 200 OK\r\n\r\nuntil the end", 0, "until the end"},
	    {"404_without_body", "HTTP/1.1 404 Not Found\r\n\r\n<html>gone</html>", 0, ""},
	    {"404_with_length", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", 0,
	     "not found"},
	    {"no_reason_phrase", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", 0, "ok"},
	    {"bare_lf", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", 0, "ok"},
	    {"lf_cr_lf_ends_header", k200 + "Content-Length: 2\n\r\nok", 0, "ok"},
	    {"46_header_lines", k200 + header_lines(45) + "Content-Length: 2\r\n\r\nok", 0, "ok"},
	    {"chunk_tail_not_crlf_goes_on", kChunked + "4\r\nabcdXY0\r\n\r\n", 0, "abcd",
	     {"QILEC_00565: Wrong chunk tail[0] = 58", "QILEC_00566: Wrong chunk tail[1] = 59"}},
	    {"chunked_stream_ends_inside_chunk", kChunked + "4\r\nabcd\r\n6\r\nefg", 0, "abcdefg"},
	    {"chunked_stream_ends_after_size_line", kChunked + "4\r\nabcd\r\n6\r\n", 0, "abcd"},

	    {"chunk_extension", kChunked + "a;ext\r\n0123456789\r\n0\r\n\r\n", -1, "",
	     {"QILEC_00564: chunked fail 3b @ 1"}},
	    {"chunk_size_without_digits", kChunked + "zz\r\nab\r\n0\r\n\r\n", -1, "",
	     {"QILEC_00564: chunked fail 7a @ 0"}},
	    {"chunk_size_line_empty", kChunked + "\r\nab\r\n0\r\n\r\n", -1, "",
	     {"QILEC_00564: chunked fail 0d @ 0"}},
	    {"chunk_size_beyond_any_buffer", kChunked + "ffffffffffffffffffff\r\nab\r\n", -1, ""},
	    {"chunk_size_beyond_the_receive_buffer", kChunked + "1fffff\r\nab\r\n", -1, ""},
	    {"status_line_empty", "\r\n\r\n", -1, ""},
	    {"status_line_blank", "   \r\n\r\n", -1, ""},
	    {"status_line_one_token", "HTTP/1.1\r\nContent-Length: 2\r\n\r\nok", -1, ""},
	    {"status_line_one_token_then_blanks", "HTTP/1.1   \r\n\r\n", -1, ""},
	    {"47_header_lines", k200 + header_lines(46) + "Content-Length: 2\r\n\r\nok", -1, ""},
	    {"bytes_after_blank_line", k200 + "A: b\r\r\n\r\n", -1, ""},
	    {"header_cut_short", k200 + "Content-Length: 5\r\n", -1, "", {"QILEC_00567"}},
	    {"nothing_at_all", "", -1, "", {"QILEC_00567"}},
	    {"content_length_beyond_any_buffer",
	     k200 + "Content-Length: 99999999999999999999\r\n\r\nx", -1, ""},
	    {"content_length_of_the_receive_buffer", k200 + "Content-Length: 2097152\r\n\r\nx", -1,
	     ""},
	};
}

TEST(VhttpParse, ResponsesFromMemory)
{
	for (const Row &r : rows()) {
		SCOPED_TRACE(r.name);
		LogCapture log;
		struct vhttp *hp = vhttp_newBuffer(log.vl(), r.response.data(), r.response.size());
		ASSERT_NE(hp, nullptr);
		EXPECT_EQ(hp->kind, VHTTP_KIND_BUFFER);
		int rc = vhttp_rxresp(hp);
		EXPECT_EQ(rc, r.rc);
		if (rc == 0) {
			EXPECT_EQ(std::string(hp->body, hp->bodylen), r.body);
			EXPECT_EQ(std::string(hp->bodylen_text), std::to_string(hp->bodylen));
			/* The received bytes are always terminated. */
			EXPECT_EQ(hp->rxbuf[hp->prxbuf], '\0');
			EXPECT_EQ(hp->body + hp->bodylen, hp->rxbuf + hp->prxbuf);
		}
		std::string text = log.text();
		for (const auto &s : r.logs)
			EXPECT_NE(text.find(s), std::string::npos) << s << " not in:\n" << text;
		vhttp_free(hp);
	}
}

TEST(VhttpGet, ResponsesFromALoopbackServer)
{
	for (const Row &r : rows()) {
		SCOPED_TRACE(r.name);
		FakeHttpServer srv(HttpScript::raw(r.response));
		LogCapture log;
		std::vector<char> buf(4096, kPattern);
		size_t len = buf.size();
		int rc = VHTTP_get(log.vl(), srv.host().c_str(), "Host: h\r\n", "/x", buf.data(),
		                   &len, nullptr);
		EXPECT_EQ(rc, r.rc);
		std::string text = log.text();
		if (rc == 0) {
			ASSERT_LE(len, buf.size());
			EXPECT_EQ(std::string(buf.data(), len), r.body);
			EXPECT_EQ(std::string(buf.begin() + static_cast<long>(len), buf.end()),
			          std::string(buf.size() - len, kPattern));
		} else {
			EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(buf.size(), kPattern));
			EXPECT_NE(text.find("QILEC_00569: VHTTP_rxbody error"), std::string::npos) << text;
		}
		for (const auto &s : r.logs)
			EXPECT_NE(text.find(s), std::string::npos) << s << " not in:\n" << text;
	}
}

TEST(VhttpParse, SplitsStatusLineAndHeaderLines)
{
	const std::string resp = "HTTP/1.1 200 OK  fine\r\n"
	                         "Content-Length: 2\r\n"
	                         "X-A:  b \r\n"
	                         " folded\r\n"
	                         "\r\n"
	                         "ok";
	LogCapture log;
	struct vhttp *hp = vhttp_newBuffer(log.vl(), resp.data(), resp.size());
	ASSERT_NE(hp, nullptr);
	ASSERT_EQ(vhttp_rxresp(hp), 0);
	const std::vector<std::string> want = {"HTTP/1.1", "200", "OK  fine", "Content-Length: 2",
	                                       "X-A:  b ", " folded"};
	for (size_t i = 0; i < want.size(); i++) {
		ASSERT_NE(hp->resp_hdr[i], nullptr) << i;
		EXPECT_EQ(std::string(hp->resp_hdr[i]), want[i]) << i;
	}
	EXPECT_EQ(hp->resp_hdr[want.size()], nullptr);

	/* Blanks after the colon are skipped, trailing ones kept; a name
	 * matches only when the colon follows it. */
	char *v = vhttp_getheader(hp->resp_hdr, "x-a");
	ASSERT_NE(v, nullptr);
	EXPECT_EQ(std::string(v), "b ");
	EXPECT_EQ(vhttp_getheader(hp->resp_hdr, "x"), nullptr);
	EXPECT_EQ(vhttp_getheader(hp->resp_hdr, "x-a-longer"), nullptr);
	EXPECT_TRUE(log.contains("http[ 2] | OK  fine")) << log.text();
	EXPECT_TRUE(log.contains("http[ 5] |  folded")) << log.text();
	vhttp_free(hp);
}

TEST(VhttpParse, StatusLineWithoutReasonPhrase)
{
	const std::string resp = "HTTP/1.1 200\r\n\r\n";
	LogCapture log;
	struct vhttp *hp = vhttp_newBuffer(log.vl(), resp.data(), resp.size());
	ASSERT_NE(hp, nullptr);
	ASSERT_EQ(vhttp_rxresp(hp), 0);
	EXPECT_STREQ(hp->resp_hdr[0], "HTTP/1.1");
	EXPECT_STREQ(hp->resp_hdr[1], "200");
	EXPECT_EQ(hp->resp_hdr[2], nullptr);
	EXPECT_EQ(hp->resp_hdr[3], nullptr);
	EXPECT_TRUE(log.contains("http[ 2] (null)")) << log.text();
	vhttp_free(hp);
}

/* Header and body together with the terminator fill the 2 MiB receive
 * buffer exactly; one byte more is refused. */
TEST(VhttpParse, ReceiveBufferLimit)
{
	const size_t nrxbuf = 0x200000;
	auto with_length = [](size_t n) {
		std::string h = k200 + "Content-Length: " + std::to_string(n) + "\r\n\r\n";
		return h + std::string(n, 'b');
	};
	const size_t hlen = with_length(0).size() + 6; /* a 7-digit length */
	const size_t fits = nrxbuf - 1 - hlen;
	ASSERT_EQ(std::to_string(fits).size(), 7u);

	struct Case {
		std::string response;
		int rc;
		size_t bodylen;
	};
	const std::string eof_head = "HTTP/1.0 200 OK\r\n\r\n";
	const Case cases[] = {
	    {with_length(fits), 0, fits},
	    {with_length(fits + 1), -1, 0},
	    {eof_head + std::string(nrxbuf - 1 - eof_head.size(), 'e'), 0,
	     nrxbuf - 1 - eof_head.size()},
	    {eof_head + std::string(nrxbuf - eof_head.size(), 'e'), -1, 0},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.response.size());
		LogCapture log;
		struct vhttp *hp = vhttp_newBuffer(log.vl(), c.response.data(), c.response.size());
		ASSERT_NE(hp, nullptr);
		ASSERT_EQ(hp->nrxbuf, static_cast<int32_t>(nrxbuf));
		EXPECT_EQ(vhttp_rxresp(hp), c.rc);
		if (c.rc == 0)
			EXPECT_EQ(hp->bodylen, c.bodylen);
		else
			EXPECT_TRUE(log.contains("larger than the receive buffer")) << log.text();
		vhttp_free(hp);
	}
}

/* ---------------------------------------------------------------- */
/* VHTTP_get over a socket.                                         */

TEST(VhttpGet, SendsOneRequestWithTheCallersHeaders)
{
	struct Case {
		const char *hdr;
		const char *url;
		std::string want;
	};
	const Case cases[] = {
	    {"Host: h\r\n", "/x", "GET /x HTTP/1.1\r\nConnection: close\r\nHost: h\r\n\r\n"},
	    {"", "/get/qildnsc.php", "GET /get/qildnsc.php HTTP/1.1\r\nConnection: close\r\n\r\n"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.url);
		FakeHttpServer srv(HttpScript::json("{}"));
		LogCapture log;
		char buf[64];
		size_t len = sizeof buf;
		ASSERT_EQ(VHTTP_get(log.vl(), srv.host().c_str(), c.hdr, c.url, buf, &len, nullptr), 0)
		    << log.text();
		EXPECT_EQ(std::string(buf, len), "{}");
		ASSERT_TRUE(srv.wait_requests(1));
		auto reqs = srv.requests();
		ASSERT_EQ(reqs.size(), 1u);
		EXPECT_EQ(reqs[0].raw, c.want);
		EXPECT_TRUE(reqs[0].complete);
	}
}

TEST(VhttpGet, PeerClosesHalfWayThroughTheBody)
{
	FakeHttpServer srv(HttpScript::raw(k200 + "Content-Length: 10\r\n\r\nhello"));
	LogCapture log;
	char buf[64];
	size_t len = sizeof buf;
	ASSERT_EQ(VHTTP_get(log.vl(), srv.host().c_str(), "Host: h\r\n", "/x", buf, &len, nullptr),
	          0)
	    << log.text();
	EXPECT_EQ(std::string(buf, len), "hello");
	EXPECT_TRUE(log.contains("QILEC_00562: HTTP rx EOF (i:0 fd:")) << log.text();
}

TEST(VhttpGet, ResponseArrivingInPieces)
{
	HttpScript s;
	s.steps = {{0ms, "HTTP/1.1 200 OK\r\nTransfer-"},
	           {50ms, "Encoding: chunked\r\n\r\n3\r"},
	           {50ms, "\nabc\r\n2\r\nde"},
	           {50ms, "\r\n0\r\n\r\n"}};
	s.end = HttpScript::End::HalfClose;
	FakeHttpServer srv(s);
	LogCapture log;
	char buf[64];
	size_t len = sizeof buf;
	ASSERT_EQ(VHTTP_get(log.vl(), srv.host().c_str(), "", "/", buf, &len, nullptr), 0)
	    << log.text();
	EXPECT_EQ(std::string(buf, len), "abcde");
}

/* A server that sends one byte every 200 ms would take 20 s; every wait
 * is short, but the exchange as a whole runs out of time. */
TEST(VhttpGet, TricklingServerMeetsTheDeadline)
{
	const std::string response = k200 + "Content-Length: 60\r\n\r\n" + std::string(60, 'b');
	HttpScript s;
	for (char c : response)
		s.steps.push_back({200ms, std::string(1, c)});
	FakeHttpServer srv(s);
	LogCapture log;
	char buf[128];
	size_t len = sizeof buf;
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(VHTTP_getWithin(log.vl(), srv.host().c_str(), "", "/", buf, &len, nullptr, 1.5),
	    -1);
	EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s) << "the deadline was not kept";
	EXPECT_TRUE(log.contains("QILEC_00792: HTTP exchange not done in time (fd:")) << log.text();
}

TEST(VhttpGet, BodyAgainstTheCallersCapacity)
{
	const std::string body = "0123456789";
	for (size_t cap : {body.size() - 1, body.size()}) {
		SCOPED_TRACE(cap);
		FakeHttpServer srv(HttpScript::response("HTTP/1.1 200 OK",
		    {"Content-Length: " + std::to_string(body.size())}, body));
		LogCapture log;
		std::vector<char> buf(32, kPattern);
		size_t len = cap;
		int rc = VHTTP_get(log.vl(), srv.host().c_str(), "Host: h\r\n", "/x", buf.data(), &len,
		                   nullptr);
		if (cap < body.size()) {
			EXPECT_EQ(rc, -1);
			EXPECT_TRUE(log.contains("QILEC_00570: Not enough buffer space")) << log.text();
			EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(buf.size(), kPattern));
		} else {
			EXPECT_EQ(rc, 0);
			EXPECT_EQ(len, body.size());
			EXPECT_EQ(std::string(buf.data(), len), body);
			EXPECT_EQ(buf[len], kPattern);
		}
	}
}

TEST(VhttpGet, ServerNotListening)
{
	ClosedPort dead;
	LogCapture log;
	char buf[16];
	size_t len = sizeof buf;
	EXPECT_EQ(VHTTP_get(log.vl(), dead.host().c_str(), "", "/", buf, &len, nullptr), -1);
	EXPECT_TRUE(log.contains("Failed to communicate with server for GET: ")) << log.text();
}

/* A peer that goes quiet: each wait is bounded by the handle's time-out,
 * and the body is what arrived until then. */
TEST(VhttpSocket, QuietPeerTimesOut)
{
	HttpScript s = HttpScript::raw(k200 + "Content-Length: 10\r\n\r\nhel");
	s.end = HttpScript::End::Hold;
	s.hold = 10s;
	FakeHttpServer srv(s);
	LogCapture log;
	int e1 = 0, e2 = 0;
	int fd = VSS_open(srv.host().c_str(), 5.0, &e1, &e2);
	ASSERT_GE(fd, 0) << e1 << " " << e2;
	const std::string req = "GET / HTTP/1.1\r\n\r\n";
	ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
	struct vhttp *hp = vhttp_newSocket(log.vl(), fd, 1);
	ASSERT_NE(hp, nullptr);
	EXPECT_EQ(hp->kind, VHTTP_KIND_SOCKET);
	EXPECT_EQ(vhttp_rxresp(hp), 0);
	EXPECT_EQ(std::string(hp->body, hp->bodylen), "hel");
	EXPECT_TRUE(log.contains("QILEC_00560: HTTP rx timeout (fd:" + std::to_string(fd) + " 1000 ms)"))
	    << log.text();
	vhttp_free(hp);
	(void)close(fd);
}

/* ---------------------------------------------------------------- */
/* Through a CONNECT proxy.                                          */

struct ProxyRow {
	const char *name;
	std::string reply;
	bool ok;
	std::string log; /* must appear when refused */
};

std::string
sized_reply(size_t total, bool ended)
{
	std::string s = "HTTP/1.1 200 OK\r\nX-Pad: ";
	std::string end = ended ? "\r\n\r\n" : "";
	return s + std::string(total - s.size() - end.size(), 'p') + end;
}

TEST(VhttpProxy, RepliesToConnect)
{
	const ProxyRow table[] = {
	    {"http10_200", "HTTP/1.0 200 Connection established\r\n\r\n", true, ""},
	    {"http11_200", "HTTP/1.1 200 OK\r\n\r\n", true, ""},
	    {"http11_200_with_headers",
	     "HTTP/1.1 200 Connection established\r\nProxy-Agent: fake\r\n\r\n", true, ""},
	    {"reply_of_1023_bytes_with_its_end", sized_reply(1023, true), true, ""},
	    {"http11_403", "HTTP/1.1 403 Forbidden\r\n\r\n", false,
	     "QILEC_00458: No HTTP 200 in the response. HTTP/1.1 403 Forbidden"},
	    {"200_only_in_a_header_line",
	     "HTTP/1.1 407 Proxy Authentication Required\r\nX-Note: HTTP/1.0 200\r\n\r\n", false,
	     "QILEC_00458"},
	    {"code_2000", "HTTP/1.1 2000 OK\r\n\r\n", false, "QILEC_00458"},
	    {"http12_200", "HTTP/1.2 200 OK\r\n\r\n", false, "QILEC_00458"},
	    {"reply_of_1023_bytes_without_its_end", sized_reply(1023, false), false,
	     "QILEC_00883: The proxy's reply exceeds 1023 bytes"},
	};
	for (const ProxyRow &r : table) {
		SCOPED_TRACE(r.name);
		FakeHttpServer srv(HttpScript::json("{\"cc\":\"XX\"}"));
		ProxyScript ps;
		ps.reply = r.reply;
		FakeConnectProxy proxy(ps);
		LogCapture log;
		std::vector<char> buf(64, kPattern);
		size_t len = buf.size();
		int rc = VHTTP_get(log.vl(), srv.host().c_str(), "Host: h\r\n", "/x", buf.data(), &len,
		                   proxy.host().c_str());
		std::string text = log.text();
		ASSERT_TRUE(proxy.wait_connects(1));
		auto seen = proxy.connects();
		ASSERT_EQ(seen.size(), 1u);
		/* The tunnel request carries nothing but its request line. */
		EXPECT_EQ(seen[0].raw, "CONNECT " + srv.host() + " HTTP/1.1\r\n\r\n");
		EXPECT_EQ(seen[0].target, srv.host());
		if (r.ok) {
			EXPECT_EQ(rc, 0) << text;
			EXPECT_EQ(std::string(buf.data(), len), "{\"cc\":\"XX\"}");
			EXPECT_TRUE(seen[0].tunnelled);
			ASSERT_TRUE(srv.wait_requests(1));
			EXPECT_EQ(srv.requests()[0].raw,
			          "GET /x HTTP/1.1\r\nConnection: close\r\nHost: h\r\n\r\n");
		} else {
			EXPECT_EQ(rc, -1);
			EXPECT_NE(text.find(r.log), std::string::npos) << text;
			EXPECT_NE(text.find("vhttp_proxy() failed."), std::string::npos) << text;
			EXPECT_EQ(text.find("QILEC_00457"), std::string::npos) << text;
			EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(buf.size(), kPattern));
			EXPECT_EQ(srv.request_count(), 0u);
		}
	}
}

/* The slowest test here: the proxy's receive time-out is 5 seconds. */
TEST(VhttpProxy, SilentProxyTimesOut)
{
	ProxyScript ps;
	ps.reply = "";
	ps.hold = 20s;
	FakeConnectProxy proxy(ps);
	LogCapture log;
	auto t0 = std::chrono::steady_clock::now();
	int fd = vhttp_proxy(log.vl(), proxy.host().c_str(), "127.0.0.1:9");
	auto waited = std::chrono::steady_clock::now() - t0;
	EXPECT_EQ(fd, -1);
	EXPECT_TRUE(log.contains("QILEC_00457: ODR_recv() failed. -1")) << log.text();
	/* It waited for the time-out, not for something else. */
	EXPECT_GE(waited, 4500ms);
	EXPECT_LT(waited, 30s);
	ASSERT_TRUE(proxy.wait_connects(1));
	EXPECT_EQ(proxy.connects()[0].target, "127.0.0.1:9");
}

TEST(VhttpProxy, ProxyClosesWithoutReplying)
{
	ProxyScript ps;
	ps.reply = "";
	ps.hold = 0ms;
	FakeConnectProxy proxy(ps);
	LogCapture log;
	EXPECT_EQ(vhttp_proxy(log.vl(), proxy.host().c_str(), "127.0.0.1:9"), -1);
	EXPECT_TRUE(log.contains("QILEC_00457: ODR_recv() failed. 0")) << log.text();
}

TEST(VhttpProxy, ProxyNotListening)
{
	ClosedPort dead;
	LogCapture log;
	EXPECT_EQ(vhttp_proxy(log.vl(), dead.host().c_str(), "127.0.0.1:80"), -1);
	EXPECT_TRUE(log.contains("QILEC_00455: VSS_open(" + dead.host() + ") failed: ")) << log.text();

	char buf[16];
	size_t len = sizeof buf;
	EXPECT_EQ(VHTTP_get(log.vl(), "127.0.0.1:80", "", "/", buf, &len, dead.host().c_str()), -1);
	EXPECT_TRUE(log.contains("vhttp_proxy() failed.")) << log.text();
}

/* The fake proxy tunnels to loopback targets that answer, nothing else. */
TEST(VhttpProxy, FakeProxyRefusesOtherTargets)
{
	ClosedPort dead;
	FakeConnectProxy proxy;
	const std::pair<std::string, std::string> cases[] = {
	    {"192.0.2.1:80", "HTTP/1.1 403 Forbidden"},
	    {"localhost:80", "HTTP/1.1 403 Forbidden"},
	    {dead.host(), "HTTP/1.1 502 Bad Gateway"},
	};
	for (const auto &[target, status] : cases) {
		SCOPED_TRACE(target);
		LogCapture log;
		EXPECT_EQ(vhttp_proxy(log.vl(), proxy.host().c_str(), target.c_str()), -1);
		EXPECT_TRUE(log.contains("QILEC_00458: No HTTP 200 in the response. " + status))
		    << log.text();
	}
	ASSERT_TRUE(proxy.wait_connects(3));
	for (const auto &c : proxy.connects())
		EXPECT_FALSE(c.tunnelled) << c.target;
}

} // namespace
