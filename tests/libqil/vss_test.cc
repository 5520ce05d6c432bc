/*
 * vss_test.cc -- address texts, resolution, connecting with a time-out on
 * loopback, and the socket options of vtcp.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "libqil_test.h"
#include "vss.h"
#include "vtcp.h"

namespace {

using qiltest::Fd;

/* The records and array that VSS_resolve hands over. */
struct AddrList {
	struct vss_addr **va = nullptr;
	int n = 0;
	~AddrList()
	{
		for (int i = 0; i < n; i++)
			free(va[i]);
		free(va);
	}
};

int
port_of(const void *sa)
{
	const struct sockaddr *s = static_cast<const struct sockaddr *>(sa);
	if (s->sa_family == AF_INET)
		return ntohs(reinterpret_cast<const struct sockaddr_in *>(sa)->sin_port);
	return ntohs(reinterpret_cast<const struct sockaddr_in6 *>(sa)->sin6_port);
}

void
set_port(void *sa, int port)
{
	struct sockaddr *s = static_cast<struct sockaddr *>(sa);
	if (s->sa_family == AF_INET)
		reinterpret_cast<struct sockaddr_in *>(sa)->sin_port = htons((uint16_t)port);
	else
		reinterpret_cast<struct sockaddr_in6 *>(sa)->sin6_port = htons((uint16_t)port);
}

/* A TCP socket bound to `sa` (port 0 picks one), listening when asked. */
int
bound_socket(const struct sockaddr *sa, socklen_t len, bool listening)
{
	int fd = socket(sa->sa_family, SOCK_STREAM, 0);
	if (fd < 0)
		return -1;
	int on = 1;
	if (sa->sa_family == AF_INET6)
		(void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
	if (bind(fd, sa, len) != 0 || (listening && listen(fd, 4) != 0)) {
		(void)close(fd);
		return -1;
	}
	return fd;
}

int
bound_port(int fd)
{
	struct sockaddr_storage ss;
	socklen_t len = sizeof ss;
	if (getsockname(fd, (struct sockaddr *)&ss, &len) != 0)
		return -1;
	return port_of(&ss);
}

/* A socket on 127.0.0.1 with a fresh port; listening or not. */
int
loopback_socket(bool listening)
{
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return bound_socket((struct sockaddr *)&sin, sizeof sin, listening);
}

/* Accepts one connection, waiting at most five seconds. */
int
accept_one(int listener)
{
	struct pollfd p = {listener, POLLIN, 0};
	if (poll(&p, 1, 5000) != 1)
		return -1;
	return accept(listener, nullptr, nullptr);
}

int
timeout_of(int fd, int opt)
{
	struct timeval tv = {};
	socklen_t len = sizeof tv;
	EXPECT_EQ(getsockopt(fd, SOL_SOCKET, opt, &tv, &len), 0);
	return (int)(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

struct ParseCase {
	const char *in;
	int ret;
	std::optional<std::string> addr, port;
};

TEST(VssParse, Table)
{
	const ParseCase cases[] = {
	    {"1.2.3.4:53", 0, "1.2.3.4", "53"},
	    {"1.2.3.4 53", 0, "1.2.3.4", "53"},
	    {"host name:80", 0, "host", "name:80"}, /* a space wins over ':' */
	    {"[::1]:80", 0, "::1", "80"},
	    {"[2001:db8::1]:8080", 0, "2001:db8::1", "8080"},
	    {"[::1]", 0, "::1", std::nullopt},
	    {"[::1]:", 0, "::1", ""},
	    {":80", 0, std::nullopt, "80"},
	    {" 80", 0, std::nullopt, "80"},
	    {"example.net", 0, "example.net", std::nullopt},
	    {"::1", 0, std::nullopt, ":1"},
	    {"", 0, "", std::nullopt},
	    {"[]", -1, std::nullopt, std::nullopt},
	    {"[]:80", -1, std::nullopt, std::nullopt},
	    {"[::1", -1, std::nullopt, std::nullopt},
	    {"[::1]80", -1, std::nullopt, std::nullopt},
	    {"[::1] 80", -1, std::nullopt, std::nullopt},
	};
	for (const ParseCase &c : cases) {
		static char junk[] = "junk";
		char *addr = junk, *port = junk;
		int err = -7;
		EXPECT_EQ(VSS_parse(c.in, &addr, &port, &err), c.ret) << c.in;
		EXPECT_EQ(err, c.ret == 0 ? -7 : INVALID_FORMAT) << c.in;
		auto as_opt = [](const char *s) {
			return s ? std::optional<std::string>(s) : std::nullopt;
		};
		EXPECT_EQ(as_opt(addr), c.addr) << c.in;
		EXPECT_EQ(as_opt(port), c.port) << c.in;
		if (addr != junk)
			free(addr);
		if (port != junk)
			free(port);
	}
	char *addr, *port;
	EXPECT_EQ(VSS_parse("[]", &addr, &port, nullptr), -1);
}

TEST(VssResolve, PortFromTextOrDefault)
{
	const struct {
		const char *str, *dflt;
		int family, port;
	} cases[] = {
	    {"127.0.0.1:53", nullptr, AF_INET, 53},
	    {"127.0.0.1 54", "99", AF_INET, 54},
	    {"127.0.0.1", "8080", AF_INET, 8080},
	    {"[::1]:80", nullptr, AF_INET6, 80},
	};
	for (const auto &c : cases) {
		AddrList l;
		int err = 0;
		l.n = VSS_resolve(c.str, c.dflt, &l.va, &err);
		ASSERT_GE(l.n, 1) << c.str;
		for (int i = 0; i < l.n; i++) {
			EXPECT_EQ(l.va[i]->va_family, c.family) << c.str;
			EXPECT_EQ(l.va[i]->va_socktype, SOCK_STREAM) << c.str;
			EXPECT_EQ(port_of(l.va[i]->va_addr), c.port) << c.str;
		}
	}
}

TEST(VssResolve, Failures)
{
	const struct {
		const char *str;
		int err;
	} cases[] = {
	    {"[]:80", INVALID_FORMAT},
	    {"127.0.0.1:no-such-service-qil", GETADDRINFO_ERROR},
	};
	for (const auto &c : cases) {
		struct vss_addr *junk = nullptr;
		struct vss_addr **va = &junk; /* must be reset to null */
		int err = 0;
		EXPECT_EQ(VSS_resolve(c.str, nullptr, &va, &err), 0) << c.str;
		EXPECT_EQ(va, nullptr) << c.str;
		EXPECT_EQ(err, c.err) << c.str;
	}
}

TEST(VssOpen, ConnectsWithATimeOut)
{
	const struct {
		double tmo;
		int want_ms; /* the socket time-outs left behind */
	} cases[] = {{10, 10000}, {2.7, 2000}, {0, 0}};
	for (const auto &c : cases) {
		Fd listener(loopback_socket(true));
		ASSERT_GE(listener.get(), 0);
		std::string str = "127.0.0.1:" + std::to_string(bound_port(listener.get()));
		int err = -1, syserr = -1;
		Fd sd(VSS_open(str.c_str(), c.tmo, &err, &syserr));
		ASSERT_GE(sd.get(), 0) << c.tmo;
		EXPECT_EQ(err, NO_ERROR);
		EXPECT_EQ(syserr, 0);
		EXPECT_FALSE(fcntl(sd.get(), F_GETFL) & O_NONBLOCK) << c.tmo;
		EXPECT_EQ(timeout_of(sd.get(), SO_RCVTIMEO), c.want_ms) << c.tmo;
		EXPECT_EQ(timeout_of(sd.get(), SO_SNDTIMEO), c.want_ms) << c.tmo;
		Fd peer(accept_one(listener.get()));
		ASSERT_GE(peer.get(), 0);
		ASSERT_EQ(write(peer.get(), "hi", 2), 2);
		char buf[2];
		EXPECT_EQ(read(sd.get(), buf, 2), 2);
	}
}

TEST(VssOpen, RefusedPort)
{
	/* Bound but not listening: the port is ours and refuses. */
	Fd closed(loopback_socket(false));
	ASSERT_GE(closed.get(), 0);
	std::string str = "127.0.0.1:" + std::to_string(bound_port(closed.get()));
	for (double tmo : {0.0, 10.0}) {
		int err = -1, syserr = -1;
		EXPECT_EQ(VSS_open(str.c_str(), tmo, &err, &syserr), -1) << tmo;
		if (tmo == 0.0) {
			EXPECT_EQ(err, CONNECT_ERROR);
			EXPECT_EQ(syserr, ECONNREFUSED);
		} else {
			EXPECT_TRUE(err == CONNECT_ERROR || err == SELECT_TIMEOUT) << err;
			EXPECT_NE(syserr, 0);
		}
	}
	/* Both out-parameters are optional. */
	EXPECT_EQ(VSS_open(str.c_str(), 10, nullptr, nullptr), -1);
}

TEST(VssOpen, ResolutionFailures)
{
	const struct {
		const char *str;
		int err;
	} cases[] = {
	    {"[::1", INVALID_FORMAT},
	    {"127.0.0.1:no-such-service-qil", GETADDRINFO_ERROR},
	};
	for (const auto &c : cases) {
		int err = -1, syserr = -1;
		EXPECT_EQ(VSS_open(c.str, 10, &err, &syserr), -1) << c.str;
		EXPECT_EQ(err, c.err) << c.str;
		EXPECT_EQ(syserr, 0) << c.str;
	}
}

/*
 * A name with two addresses where only the second one listens. "localhost"
 * has two on many hosts; where it has one, the empty host (the wildcard of
 * both families, reached as loopback) serves instead.
 */
TEST(VssOpen, MovesOnToTheNextAddressWhenTheFirstRefuses)
{
	std::string host;
	AddrList l;
	for (const char *h : {"localhost", ""}) {
		AddrList probe;
		probe.n = VSS_resolve((std::string(h) + ":0").c_str(), nullptr,
		                      &probe.va, nullptr);
		if (probe.n >= 2 &&
		    (probe.va[0]->va_family != probe.va[1]->va_family ||
		     memcmp(probe.va[0]->va_addr, probe.va[1]->va_addr,
		            (size_t)probe.va[0]->va_addrlen) != 0)) {
			host = h;
			std::swap(l.va, probe.va);
			std::swap(l.n, probe.n);
			break;
		}
	}
	if (l.n < 2)
		GTEST_SKIP() << "no name resolves to two different addresses here";

	struct vss_addr first = *l.va[0], second = *l.va[1];
	Fd listener(bound_socket((struct sockaddr *)second.va_addr,
	                         (socklen_t)second.va_addrlen, true));
	if (listener.get() < 0)
		GTEST_SKIP() << "cannot listen on the second address: " << strerror(errno);
	int port = bound_port(listener.get());
	set_port(first.va_addr, port);
	Fd refuser(bound_socket((struct sockaddr *)first.va_addr,
	                        (socklen_t)first.va_addrlen, false));
	if (refuser.get() < 0)
		GTEST_SKIP() << "cannot hold the port on the first address: "
		             << strerror(errno);

	std::string str = host + ":" + std::to_string(port);
	int err = -1, syserr = -1;
	Fd sd(VSS_open(str.c_str(), 10, &err, &syserr));
	ASSERT_GE(sd.get(), 0) << str << " err " << err << " syserr " << syserr;
	struct sockaddr_storage peer;
	socklen_t len = sizeof peer;
	ASSERT_EQ(getpeername(sd.get(), (struct sockaddr *)&peer, &len), 0);
	EXPECT_EQ(peer.ss_family, second.va_family);
	Fd accepted(accept_one(listener.get()));
	EXPECT_GE(accepted.get(), 0);
}

TEST(Vtcp, Options)
{
	Fd s(socket(AF_INET, SOCK_STREAM, 0));
	ASSERT_GE(s.get(), 0);

	EXPECT_EQ(VTCP_nonblocking(s.get()), 0);
	EXPECT_TRUE(fcntl(s.get(), F_GETFL) & O_NONBLOCK);
	EXPECT_EQ(VTCP_blocking(s.get()), 0);
	EXPECT_FALSE(fcntl(s.get(), F_GETFL) & O_NONBLOCK);

	int on = 0;
	socklen_t len = sizeof on;
	EXPECT_EQ(VTCP_reuseaddr(s.get()), 0);
	ASSERT_EQ(getsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, &len), 0);
	EXPECT_EQ(on, 1);

	VTCP_setTimeout(s.get(), 30);
	EXPECT_EQ(timeout_of(s.get(), SO_RCVTIMEO), 30000);
	EXPECT_EQ(timeout_of(s.get(), SO_SNDTIMEO), 30000);

	int bad = s.get() + 1000;
	EXPECT_EQ(VTCP_nonblocking(bad), -1);
	EXPECT_EQ(VTCP_reuseaddr(bad), -1);
}

TEST(VtcpDeath, MisuseIsFatal)
{
	EXPECT_ASSERT_FAIL(VTCP_blocking(-1),
	                   qiltest::assert_line("VTCP_blocking", "vtcp\\.cc",
	                                        "r == NO_ERROR"));
	EXPECT_ASSERT_FAIL(
	    {
		    Fd s(socket(AF_INET, SOCK_STREAM, 0));
		    VTCP_setTimeout(s.get(), 0);
	    },
	    qiltest::assert_line("VTCP_setTimeout", "vtcp\\.cc", "sec > 0"));
	EXPECT_ASSERT_FAIL(VTCP_setTimeout(-1, 5),
	                   qiltest::assert_line("VTCP_setTimeout", "vtcp\\.cc",
	                                        "ret == 0"));
}

} // namespace
