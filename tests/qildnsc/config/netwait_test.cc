/*
 * netwait_test.cc -- the wait for a default route before the fetch: what
 * counts as this machine, and a start in a namespace of its own that has
 * no route until the test adds one.
 */
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "config/netwait.h"
#include "tmpdir.h"

namespace {

TEST(Netwait, ThisMachineNeedsNoRoute)
{
	const struct {
		const char *host;
		bool local;
	} rows[] = {
	    {"127.0.0.1", true},       {"127.0.0.1:5380", true}, {"127.9.9.9:80", true},
	    {"[::1]:5380", true},      {"::1", true},            {"localhost:8080", true},
	    {"192.0.2.1:5380", false}, {"[2001:db8::1]:80", false}, {"config.example.net", false},
	    {"128.0.0.1", false},
	};
	for (const auto &r : rows)
		EXPECT_EQ(netwait_local(r.host), r.local) << r.host;
}

/* No route at start: it says so, waits, and fetches once the route comes
 * (the test adds it after a second); the server is on an address of the
 * namespace, so the fetch needs no route itself. */
TEST(Netwait, StartWaitsForADefaultRouteThenFetches)
{
	if (geteuid() != 0 || system("unshare -n true 2>/dev/null") != 0)
		GTEST_SKIP() << "needs root and network namespaces (unshare -n)";
	qiltest::TmpDir dir;
	std::ofstream(dir.file("doc.json")) << R"({"cc": "US", "dns_servers": []})";
	const std::string script =
	    "set -e; cd '" + dir.path() + "'\n"
	    "ip link set lo up; ip addr add 10.253.9.1/32 dev lo\n"
	    "'" CONFIG_SERVER_BIN "' 10.253.9.1 5380 doc.json 20 & cfg=$!\n"
	    "(sleep 1; ip route add default dev lo) &\n"
	    "QILDNSC_CONFIG_SERVER=10.253.9.1:5380 '" QILDNSC_BINARY "' -w -l 127.0.0.1 -p 5300 "
	    "-d 127.0.0.1:9 2>/dev/null & fwd=$!\n"
	    "i=0; until grep -q 'Listening on' qildnsc_stdout.txt 2>/dev/null; do\n"
	    "  i=$((i+1)); [ $i -lt 200 ] || break; sleep 0.1; done\n"
	    "kill -TERM $fwd; wait $fwd || true; kill $cfg 2>/dev/null || true\n";
	std::ofstream(dir.file("run.sh")) << script;
	ASSERT_EQ(system(("unshare -n sh '" + dir.file("run.sh") + "'").c_str()), 0);

	std::ifstream in(dir.file("qildnsc_stdout.txt"));
	std::stringstream log;
	log << in.rdbuf();
	const std::string l = log.str();
	size_t wait = l.find("QILEC_00891: No default route yet");
	size_t route = l.find("[INFO] A default route is there: fetching.");
	size_t listening = l.find("Listening on 127.0.0.1:5300");
	ASSERT_NE(wait, std::string::npos) << l;
	ASSERT_NE(route, std::string::npos) << l;
	ASSERT_NE(listening, std::string::npos) << l;
	EXPECT_LT(wait, route);
	EXPECT_LT(route, listening);
}

} // namespace
