/*
 * servers_test.cc -- the server-list text into the upstream server table:
 * markers, ports, scopes, empty entries, resolution failures, lookup by
 * sender address, the domestic/foreign warning when CRoute is enabled,
 * what diversion asks of the table, and "@network" read from a given
 * resolv.conf.
 *
 * init_servers rebuilds the table from scratch on every call.
 */
#include <string.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "divert/divert_servers.h"
#include "forward/filter.h"
#include "filter/tables.h"
#include "unit_support.h"
#include "odr.h"
#include "common/qildnsc.h"
#include "servers/resolv_conf.h"
#include "servers/servers.h"
#include "tmpdir.h"

namespace {

using qiltest::ConfString;
using qiltest::dotted;
using qiltest::ipv4;
using LogCapture = qiltest::ForwarderLog;
using qiltest::TmpDir;

struct Server {
	const char *addr;
	uint16_t port;
	bool encrypted;
};

struct ListCase {
	const char *name;
	const char *text;
	std::vector<Server> servers;
};

class ServerList : public ::testing::TestWithParam<ListCase> {};

TEST_P(ServerList, Entries)
{
	const ListCase &c = GetParam();
	LogCapture log;
	ConfString list(&dnsc_conf.dns_servers, c.text);

	ASSERT_EQ(init_servers(), 0) << log.text();
	EXPECT_TRUE(log.contains(std::string("[INFO] Using DNS servers: ") + c.text + "\n"))
	    << log.text();
	ASSERT_EQ(upstreams.n_upstream_servers, (int32_t)c.servers.size());
	EXPECT_EQ(log.contains("[WARN] No DNS server to forward to: every query will go "
	                       "unanswered.\n"), c.servers.empty()) << log.text();
	for (size_t i = 0; i < c.servers.size(); i++) {
		const struct upstream_server &us = upstreams.upstream_servers[i];
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us.addr);
		SCOPED_TRACE("server " + std::to_string(i));
		EXPECT_EQ(us.addrlen, (int32_t)sizeof(struct sockaddr_in));
		EXPECT_EQ(sin->sin_family, AF_INET);
		EXPECT_EQ(dotted(sin->sin_addr.s_addr), c.servers[i].addr);
		EXPECT_EQ(ntohs(sin->sin_port), c.servers[i].port);
		EXPECT_EQ(us.flags, c.servers[i].encrypted ? UPSTREAM_ENCRYPTED : 0u);
		/* Nothing but zeros past the address. */
		const auto *raw = reinterpret_cast<const uint8_t *>(&us.addr);
		for (size_t b = (size_t)us.addrlen; b < sizeof us.addr; b++)
			ASSERT_EQ(raw[b], 0) << "byte " << b;
		EXPECT_EQ(memcmp(sin->sin_zero, "\0\0\0\0\0\0\0\0", 8), 0);
	}
}

const ListCase kListCases[] = {
	{"plain", "192.0.2.1", {{"192.0.2.1", 53, false}}},
	{"encrypted_then_plain", "E192.0.2.1:10015,198.51.100.7",
	 {{"192.0.2.1", 10015, true}, {"198.51.100.7", 53, false}}},
	{"lower_case_marker", "e192.0.2.1", {{"192.0.2.1", 53, true}}},
	{"empty_entries", "192.0.2.1,,198.51.100.7,",
	 {{"192.0.2.1", 53, false}, {"198.51.100.7", 53, false}}},
	{"leading_comma", ",E198.51.100.7:5300", {{"198.51.100.7", 5300, true}}},
	{"only_commas", ",,", {}},
	{"empty", "", {}},
	{"host_name", "localhost:10015", {{"127.0.0.1", 10015, false}}},
	/* The first character is the marker whatever follows. */
	{"host_name_after_marker", "Elocalhost", {{"127.0.0.1", 53, true}}},
	{"same_address_twice", "192.0.2.1,E192.0.2.1",
	 {{"192.0.2.1", 53, false}, {"192.0.2.1", 53, true}}},
};

INSTANTIATE_TEST_SUITE_P(Texts, ServerList, ::testing::ValuesIn(kListCases),
                         qiltest::CaseName());

const char kNoResolve[] = "QILEC_00689: getaddrinfo(3) for %s error: ";
const char kBadPort[] = "QILEC_00761: Invalid port in DNS server %s (it must be from 1 to 65535)";

struct BadCase {
	const char *name;
	const char *text;
	const char *entry; /* as the message shows it */
	int32_t filled;    /* records before the failing entry */
	const char *message = kNoResolve;
};

class ServerListFailure : public ::testing::TestWithParam<BadCase> {};

TEST_P(ServerListFailure, StopsWithTheEntryAsWritten)
{
	const BadCase &c = GetParam();
	LogCapture log;
	ConfString list(&dnsc_conf.dns_servers, c.text);

	EXPECT_EQ(init_servers(), -1);
	std::string want = std::string("[ERROR] ") + c.message;
	want.replace(want.find("%s"), 2, c.entry);
	EXPECT_TRUE(log.contains(want)) << "want: " << want << "\nlog: " << log.text();
	EXPECT_EQ(upstreams.n_upstream_servers, c.filled);
}

const BadCase kBadCases[] = {
	{"unresolvable_last", "192.0.2.1,E198.51.100.7:10015,Eno-such-host.invalid:10015",
	 "Eno-such-host.invalid:10015", 2},
	{"unresolvable_first", "no-such-host.invalid,192.0.2.1", "no-such-host.invalid", 0},
	{"unknown_service", "192.0.2.1,e192.0.2.2:no-such-service",
	 "e192.0.2.2:no-such-service", 1},
	/* The resolver would wrap these ports silently. */
	{"port_too_big", "192.0.2.1,E192.0.2.2:99999", "E192.0.2.2:99999", 1, kBadPort},
	{"port_zero", "192.0.2.1:0", "192.0.2.1:0", 0, kBadPort},
	{"port_empty", "192.0.2.1:", "192.0.2.1:", 0, kBadPort},
};

INSTANTIATE_TEST_SUITE_P(Texts, ServerListFailure, ::testing::ValuesIn(kBadCases),
                         qiltest::CaseName());

/* IPv6 literals, bare or in brackets with a port, beside IPv4 entries. */
TEST(ServerList6, LiteralsInBracketsOrBare)
{
	const struct {
		const char *text;
		std::vector<std::tuple<int, std::string, uint16_t, bool>> want;
		const char *error; /* the start of the failure's message, or null */
	} rows[] = {
	    {"[2001:db8::1]:5300,E[2001:db8::2]", {{AF_INET6, "2001:db8::1", 5300, false},
	                                           {AF_INET6, "2001:db8::2", 53, true}}, nullptr},
	    {"2001:db8::3,192.0.2.1:5300,e::1", {{AF_INET6, "2001:db8::3", 53, false},
	                                        {AF_INET, "192.0.2.1", 5300, false},
	                                        {AF_INET6, "::1", 53, true}}, nullptr},
	    {"[::1", {}, "QILEC_00887: Bad IPv6 address in DNS server [::1 "},
	    {"E[::1]5300", {}, "QILEC_00887: Bad IPv6 address in DNS server E[::1]5300 "},
	    {"[::1]:0", {}, "QILEC_00761: Invalid port in DNS server [::1]:0 "},
	    {"[zz::1]", {}, "QILEC_00689: getaddrinfo(3) for [zz::1] error: "},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.text);
		LogCapture log;
		ConfString list(&dnsc_conf.dns_servers, r.text);
		ASSERT_EQ(init_servers(), r.error != nullptr ? -1 : 0) << log.text();
		if (r.error != nullptr) {
			EXPECT_TRUE(log.contains(r.error)) << log.text();
			continue;
		}
		ASSERT_EQ(upstreams.n_upstream_servers, (int32_t)r.want.size());
		for (size_t i = 0; i < r.want.size(); i++) {
			const struct upstream_server &us = upstreams.upstream_servers[i];
			const auto &[family, addr, port, encrypted] = r.want[i];
			char text[INET6_ADDRSTRLEN] = "";
			const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(&us.addr);
			const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us.addr);
			ASSERT_EQ(us.addr.ss_family, family);
			(void)inet_ntop(family, family == AF_INET6 ? (const void *)&sin6->sin6_addr :
			                &sin->sin_addr, text, sizeof text);
			EXPECT_EQ(text, addr);
			EXPECT_EQ(ntohs(family == AF_INET6 ? sin6->sin6_port : sin->sin_port), port);
			EXPECT_EQ(us.flags, encrypted ? UPSTREAM_ENCRYPTED : 0u);
		}
	}
}

/* Scoped IPv6 entries, in every form an address takes: the scope by name
 * or number, shown and matched with it; kept on a link-local address alone
 * (answers from any other come without one); an interface not here
 * refused. The loopback stands in for a real link: only parsed. */
TEST(ServerList6, ScopedEntries)
{
	const uint32_t lo = ODR_ifindex("lo");
	if (lo == 0)
		GTEST_SKIP() << "no interface named lo here";
	const std::string n = std::to_string(lo);
	const struct {
		std::string text;
		const char *shown; /* the table as servers_text() shows it, or the error */
		uint32_t scope;    /* the first server's */
	} rows[] = {
	    {"fe80::1%lo,[fe80::1%" + n + "]:5300", "[fe80::1%lo]:53,[fe80::1%lo]:5300", lo},
	    {"E[fe80::2%lo]:10015,e[ff02::fb%lo]", "E[fe80::2%lo]:10015,E[ff02::fb%lo]:53", lo},
	    {"tls://[fe80::3%lo],tls://fe80::4%lo#dot.test", "[fe80::3%lo]:853,[fe80::4%lo]:853",
	     lo},
	    {"2001:db8::1%lo,[::1%lo]:5300", "[2001:db8::1]:53,[::1]:5300", 0},
	    {"fe80::1%nosuch", "QILEC_01052: No network interface nosuch here, in DNS server "
	     "fe80::1%nosuch\n", 0},
	    {"[fe80::1%]:53", "QILEC_01052: No network interface  here, in DNS server [fe80::1%]:53",
	     0},
	    {"fe80::1%4294967296", "QILEC_01052: No network interface 4294967296 here", 0},
	    {"192.0.2.1%lo", "QILEC_00689: getaddrinfo(3) for 192.0.2.1%lo error: ", 0},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.text);
		LogCapture log;
		ConfString list(&dnsc_conf.dns_servers, r.text);
		bool fails = strncmp(r.shown, "QILEC_", 6) == 0;
		ASSERT_EQ(init_servers(), fails ? -1 : 0) << log.text();
		if (fails) {
			EXPECT_TRUE(log.contains(r.shown)) << log.text();
			continue;
		}
		std::string shown;
		for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
			char t[128];
			shown += (i > 0 ? "," : "") +
			    std::string(servers_text(&upstreams.upstream_servers[i], t, sizeof t));
		}
		EXPECT_EQ(shown, r.shown);
		const struct upstream_server &us = upstreams.upstream_servers[0];
		auto sin6 = *reinterpret_cast<const struct sockaddr_in6 *>(&us.addr);
		EXPECT_EQ(sin6.sin6_scope_id, r.scope);
		if (us.flags & UPSTREAM_TLS) /* the address stands for the name, without its scope */
			EXPECT_STREQ(us.tls_name, "fe80::3");
		else
			EXPECT_EQ(find_upstream_server(&sin6, sizeof sin6), &us);
		/* An answer from the same address on another link is no server's. */
		sin6.sin6_scope_id = r.scope + 1;
		EXPECT_EQ(find_upstream_server(&sin6, sizeof sin6), nullptr);
	}
}

/* What diversion asks of the table: a server at least, and a warning for
 * each resolver on the loopback but our own listening socket. */
TEST(DivertServers, NoneRefusedLoopbackWarned)
{
	const struct {
		const char *text;
		int result;
		std::vector<std::string> warned; /* the servers named, in order */
	} rows[] = {
	    {"", -1, {}},
	    {"192.0.2.1,E[2001:db8::1]:10015", 0, {}},
	    {"127.0.0.53,192.0.2.1,E[::1]:10015,tls://127.1.2.3", 0,
	     {"127.0.0.53:53", "E[::1]:10015", "127.1.2.3:853"}},
	    {"127.0.0.1:5353,[::1]:5353,127.0.0.2:5353,[::ffff:127.0.0.1]:53", 0,
	     {"127.0.0.2:5353", "[::ffff:127.0.0.1]:53"}},
	};
	ConfString addr(&dnsc_conf.listen_addr, "127.0.0.1");
	ConfString port(&dnsc_conf.listen_port, "5353");
	for (const auto &r : rows) {
		SCOPED_TRACE(r.text);
		LogCapture log;
		ConfString list(&dnsc_conf.dns_servers, r.text);
		ASSERT_EQ(init_servers(), 0) << log.text();
		log.clear();
		EXPECT_EQ(divert_servers_check(), r.result);
		EXPECT_EQ(log.contains("[ERROR] QILEC_01050: No DNS server to forward to: diverting "
		    "would leave this machine without DNS, so this one does not start (give servers "
		    "with -d, or run with -w).\n"), r.result != 0);
		size_t n = 0;
		for (size_t at = 0; (at = log.text().find("QILEC_01053", at)) != std::string::npos; at++)
			n++;
		EXPECT_EQ(n, r.warned.size()) << log.text();
		for (const std::string &w : r.warned)
			EXPECT_TRUE(log.contains("[WARN]  QILEC_01053: DNS server " + w + " is a resolver "
			    "on this machine: diversion turns the queries it sends on to port 53 back to "
			    "qildnsc, a loop. Run with -w, or give that resolver's own servers with -d.\n"))
			    << log.text();
	}
}

/* "@network": the nameservers of a resolv.conf given by path, but the
 * forwarder's own address, or those of the stub's file when it names only
 * the loopback; IPv6 ones in brackets, their scope kept. */
TEST(NetworkResolvers, FromAGivenResolvConf)
{
	TmpDir dir;
	const std::string conf = dir.file("resolv.conf"), stub = dir.file("stub.conf");
	const struct {
		const char *name;
		const char *conf;  /* nullptr: no file */
		const char *stub;  /* nullptr: no file */
		const char *addr, *port; /* where the forwarder listens */
		std::string expanded;   /* "E192.0.2.5:10015,@network" so; "!" for -1 */
		const char *logged;
	} rows[] = {
	    {"each_form", "# nameserver 192.0.2.9\n; comment\nsearch lan\nnameserver 192.0.2.1\n"
	     "nameserver fe80::1%lo\nnameserver not-an-address\noptions ndots:1\n"
	     "  nameserver\t2001:db8::53  # trailing\nnameserver", nullptr, "127.0.0.1", "5353",
	     "E192.0.2.5:10015,192.0.2.1,[fe80::1%lo],[2001:db8::53]",
	     "QILEC_01107: @network: DNS server fe80::1%lo (from "},
	    {"stub", "nameserver 127.0.0.53\noptions edns0 trust-ad\n",
	     "nameserver 192.0.2.7\nnameserver ::1\n", "127.0.0.1", "5353",
	     "E192.0.2.5:10015,192.0.2.7,[::1]", "QILEC_01105: @network: "},
	    {"stub_without_servers", "nameserver 127.0.0.53\n", "", "127.0.0.1", "5353",
	     "E192.0.2.5:10015", "QILEC_01106: @network: "},
	    {"stub_without_its_file", "nameserver 127.0.0.53\n", nullptr, "127.0.0.1", "5353",
	     "E192.0.2.5:10015,127.0.0.53", "DNS server 127.0.0.53 (from "},
	    {"own_address_left_out", "nameserver 127.0.0.1\nnameserver 192.0.2.1\n", "",
	     "127.0.0.1", "domain", "E192.0.2.5:10015,192.0.2.1",
	     "QILEC_01102: @network: 127.0.0.1 in "},
	    {"own_on_every_address", "nameserver ::1\nnameserver 192.0.2.1\n", "", "0.0.0.0",
	     "53", "E192.0.2.5:10015,192.0.2.1", "is this forwarder's own address; left out."},
	    {"another_port_is_another_resolver", "nameserver 127.0.0.1\nnameserver 192.0.2.1\n",
	     "", "127.0.0.1", "5300", "E192.0.2.5:10015,127.0.0.1,192.0.2.1",
	     "DNS server 127.0.0.1 (from "},
	    {"no_resolv_conf", nullptr, nullptr, "127.0.0.1", "5353", "!",
	     "QILEC_01104: @network: cannot read "},
	};
	const char *why;
	bool supported = resolv_conf_supported(&why);
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		LogCapture log;
		std::filesystem::remove(conf);
		std::filesystem::remove(stub);
		if (r.conf != nullptr)
			qiltest::write_file(conf, r.conf);
		if (r.stub != nullptr)
			qiltest::write_file(stub, r.stub);
		const struct resolv_conf_source src = {conf.c_str(), stub.c_str(), r.addr, r.port};
		std::string out;
		int result = resolv_conf_expand("E192.0.2.5:10015," RESOLV_CONF_ENTRY, &src, &out);
		if (!supported) {
			EXPECT_EQ(result, -1);
			EXPECT_TRUE(log.contains("QILEC_01103: -d @network: " + std::string(why)));
			continue;
		}
		EXPECT_EQ(result, r.expanded == "!" ? -1 : 0) << log.text();
		if (result == 0) {
			EXPECT_EQ(out, r.expanded);
		}
		EXPECT_TRUE(log.contains(r.logged)) << log.text();
	}
}

/* TLS entries: the port 853 unless given, the certificate's name (the
 * address unless given), and never found as a datagram's sender. */
TEST(ServerListTls, NamePortAndNoDatagrams)
{
	const struct {
		const char *text;
		int family;
		uint16_t port;
		const char *name;
		uint32_t flags;
		const char *error;
	} rows[] = {
	    {"tls://192.0.2.1", AF_INET, 853, "192.0.2.1", UPSTREAM_TLS, nullptr},
	    {"TLS://192.0.2.1:8853#dot.test", AF_INET, 8853, "dot.test", UPSTREAM_TLS, nullptr},
	    {"tls://192.0.2.1:8853", AF_INET, 8853, "192.0.2.1", UPSTREAM_TLS, nullptr},
	    {"tls://[2001:db8::1]#dns.test", AF_INET6, 853, "dns.test", UPSTREAM_TLS, nullptr},
	    {"tls://2001:db8::2", AF_INET6, 853, "2001:db8::2", UPSTREAM_TLS, nullptr},
	    {"tls://192.0.2.1#insecure", AF_INET, 853, "192.0.2.1",
	     UPSTREAM_TLS | UPSTREAM_TLS_INSECURE, nullptr},
	    /* Without a name, the address without its port or brackets. */
	    {"tls://192.0.2.1:8853", AF_INET, 8853, "192.0.2.1", UPSTREAM_TLS, nullptr},
	    {"tls://[2001:db8::1]:8853", AF_INET6, 8853, "2001:db8::1", UPSTREAM_TLS, nullptr},
	    {"tls://[::1]:8853#dns.test", AF_INET6, 8853, "dns.test", UPSTREAM_TLS, nullptr},
	    {"tls://192.0.2.1:8853#insecure", AF_INET, 8853, "192.0.2.1",
	     UPSTREAM_TLS | UPSTREAM_TLS_INSECURE, nullptr},
	    {"tls://192.0.2.1#", 0, 0, nullptr, 0,
	     "QILEC_01021: Bad certificate name in DNS server tls://192.0.2.1# "},
	    {"tls://192.0.2.1:0#dot.test", 0, 0, nullptr, 0,
	     "QILEC_00761: Invalid port in DNS server tls://192.0.2.1:0#dot.test "},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.text);
		LogCapture log;
		ConfString list(&dnsc_conf.dns_servers, r.text);
		ASSERT_EQ(init_servers(), r.error != nullptr ? -1 : 0) << log.text();
		if (r.error != nullptr) {
			EXPECT_TRUE(log.contains(r.error)) << log.text();
			continue;
		}
		ASSERT_EQ(upstreams.n_upstream_servers, 1);
		const struct upstream_server &us = upstreams.upstream_servers[0];
		EXPECT_EQ(us.addr.ss_family, r.family);
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&us.addr);
		EXPECT_EQ(ntohs(sin->sin_port), r.port); /* the same place in IPv6's */
		EXPECT_STREQ(us.tls_name, r.name);
		EXPECT_EQ(us.flags, r.flags);
		EXPECT_TRUE(servers_have_tls());
		EXPECT_EQ(find_upstream_server(&us.addr, (socklen_t)us.addrlen), nullptr);
	}
}

struct sockaddr_in
sender(const char *addr, uint16_t port)
{
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof sin);
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	sin.sin_addr.s_addr = ipv4(addr);
	return sin;
}

TEST(FindUpstreamServer, WholeAddressMustMatchFirstInListOrder)
{
	LogCapture log;
	ConfString list(&dnsc_conf.dns_servers, "192.0.2.1,E192.0.2.1,E198.51.100.7:10015");
	ASSERT_EQ(init_servers(), 0) << log.text();
	ASSERT_EQ(upstreams.n_upstream_servers, 3);

	struct sockaddr_in sin = sender("192.0.2.1", 53);
	EXPECT_EQ(find_upstream_server(&sin, sizeof sin), &upstreams.upstream_servers[0]);

	sin = sender("198.51.100.7", 10015);
	EXPECT_EQ(find_upstream_server(&sin, sizeof sin), &upstreams.upstream_servers[2]);

	/* Same address, other port; other address, same port. */
	sin = sender("198.51.100.7", 53);
	EXPECT_EQ(find_upstream_server(&sin, sizeof sin), nullptr);
	sin = sender("192.0.2.2", 53);
	EXPECT_EQ(find_upstream_server(&sin, sizeof sin), nullptr);

	/* The trailing zero bytes count, and so does the length. */
	sin = sender("192.0.2.1", 53);
	sin.sin_zero[7] = 1;
	EXPECT_EQ(find_upstream_server(&sin, sizeof sin), nullptr);
	sin = sender("192.0.2.1", 53);
	EXPECT_EQ(find_upstream_server(&sin, sizeof sin - 1), nullptr);
	struct sockaddr_storage ss;
	memset(&ss, 0, sizeof ss);
	memcpy(&ss, &sin, sizeof sin);
	EXPECT_EQ(find_upstream_server(&ss, sizeof ss), nullptr);
}

/* ---- CRoute: at least one domestic and one foreign server ---- */

struct ClassCase {
	const char *name;
	const char *route; /* nullptr: CRoute disabled */
	const char *servers;
	bool warned;
};

class ServerClasses : public ::testing::TestWithParam<ClassCase> {};

TEST_P(ServerClasses, Warning)
{
	const ClassCase &c = GetParam();
	TmpDir dir;
	LogCapture log;
	std::string path = dir.file("route.txt");

	if (c.route != nullptr)
		qiltest::write_file(path, c.route);
	ConfString croute(&dnsc_conf.croute_path, c.route != nullptr ? path.c_str() : nullptr);
	ConfString list(&dnsc_conf.dns_servers, c.servers);
	ASSERT_EQ(load_croute(), 0) << log.text();
	log.clear();

	EXPECT_EQ(init_servers(), 0) << log.text();
	const char *warning =
	    "[WARN]  [WARN] At least one local DNS and one foreign DNS required if CRoute is enabled.\n";
	EXPECT_EQ(log.contains(warning), c.warned) << log.text();
}

const ClassCase kClassCases[] = {
	{"both_classes", "192.0.2.0/24\n", "192.0.2.1,E198.51.100.7:10015", false},
	{"both_classes_foreign_first", "192.0.2.0/24\n", "198.51.100.7,192.0.2.1", false},
	{"only_foreign", "192.0.2.0/24\n", "198.51.100.7,E203.0.113.1", true},
	{"only_domestic", "192.0.2.0/24\n", "192.0.2.1,192.0.2.2", true},
	{"empty_table", "", "192.0.2.1,198.51.100.7", true},
	{"no_servers", "192.0.2.0/24\n", "", true},
	{"croute_disabled", nullptr, "198.51.100.7", false},
};

INSTANTIATE_TEST_SUITE_P(Lists, ServerClasses, ::testing::ValuesIn(kClassCases),
                         qiltest::CaseName());

} // namespace
