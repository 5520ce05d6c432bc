/*
 * filter_test.cc -- the blocklist and CRoute loaders (file in, table out),
 * croute_lookup's floor-entry search, and filter_response on answers built
 * byte by byte.
 *
 * The tables are process-wide; every test loads what it needs, and each
 * loader starts by emptying its own table.
 */
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns_message.h"
#include "forward/filter.h"
#include "filter/tables.h"
#include "unit_support.h"
#include "common/qildnsc.h"
#include "servers/servers.h"
#include "tmpdir.h"

namespace {

using qiltest::ConfString;
using qiltest::dotted;
using qiltest::ipv4;
using LogCapture = qiltest::ForwarderLog;
using qiltest::TmpDir;
namespace dns = qiltest::dns;

/* Loads `text` as the CRoute file; the load's result. */
int
load_croute_text(const TmpDir &dir, const std::string &text, LogCapture *log = nullptr)
{
	std::string path = dir.file("route.txt");
	qiltest::write_file(path, text);
	ConfString conf(&dnsc_conf.croute_path, path);
	if (log != nullptr)
		log->clear();
	return load_croute();
}

int
load_blacklist_text(const TmpDir &dir, const std::string &text)
{
	std::string path = dir.file("blacklist.txt");
	qiltest::write_file(path, text);
	ConfString conf(&dnsc_conf.blacklist_path, path);
	return load_blacklist();
}

/* The blocklist as dotted addresses, in table order. */
std::vector<std::string>
blacklist_entries()
{
	std::vector<std::string> out;
	for (int32_t i = 0; i < tables.n_ip_blacklist; i++)
		out.push_back(dotted(tables.ip_blacklist[i]));
	return out;
}

/* ---- CRoute: file in, lookups out ---- */

struct Probe {
	const char *addr;
	int domestic;
};

struct CrouteCase {
	const char *name;
	std::string file;
	int32_t entries;
	std::vector<Probe> probes;
};

class CrouteLookup : public ::testing::TestWithParam<CrouteCase> {};

TEST_P(CrouteLookup, FloorEntryDecides)
{
	const CrouteCase &c = GetParam();
	TmpDir dir;
	LogCapture log;

	ASSERT_EQ(load_croute_text(dir, c.file), 0) << log.text();
	EXPECT_EQ(tables.n_croute, c.entries);
	for (const Probe &p : c.probes)
		EXPECT_EQ(croute_lookup(ipv4(p.addr)), p.domestic) << p.addr;
}

const CrouteCase kCrouteCases[] = {
	{"slash24", "1.0.1.0/24\n", 1,
	 {{"1.0.1.0", 1}, {"1.0.1.200", 1}, {"1.0.1.255", 1}, {"1.0.2.1", 0},
	  {"1.0.0.255", 0}}},
	{"slash32", "192.0.2.7/32\n", 1,
	 {{"192.0.2.7", 1}, {"192.0.2.6", 0}, {"192.0.2.8", 0}}},
	{"slash0_covers_everything", "10.0.0.0/0\n", 1,
	 {{"0.0.0.0", 1}, {"9.255.255.255", 1}, {"10.0.0.0", 1}, {"255.255.255.255", 1}}},
	/* Above the last start: judged against the last entry. */
	{"above_last", "1.0.0.0/24\n2.0.0.0/16\n", 2,
	 {{"2.0.255.255", 1}, {"2.1.0.0", 0}, {"223.1.1.1", 0}}},
	/* Below the first start: judged against the first entry, whose range
	 * (the prefix of the address as written) may reach below its start. */
	{"below_first", "11.0.0.0/7\n20.0.0.0/8\n", 2,
	 {{"10.5.5.5", 1}, {"9.255.255.255", 0}, {"11.255.255.255", 1}, {"12.0.0.0", 0}}},
	/* A wider range does not cover what lies above a narrower later one. */
	{"nested", "1.0.0.0/8\n1.2.3.0/24\n", 2,
	 {{"1.2.3.9", 1}, {"1.5.0.0", 0}, {"1.0.0.1", 1}, {"1.2.2.255", 1}}},
	{"unsorted_input", "1.2.3.0/24\n1.0.0.0/8\n", 2,
	 {{"1.2.3.9", 1}, {"1.5.0.0", 0}, {"1.0.0.1", 1}}},
	/* Sorted by host-order value, not by the bytes as stored. */
	{"host_order", "2.0.0.1/32\n1.0.0.2/32\n", 2,
	 {{"1.0.0.2", 1}, {"2.0.0.1", 1}, {"1.5.0.0", 0}, {"2.0.0.2", 0}}},
	/* No prefix: every address from the start to the next entry. */
	{"no_prefix", "1.0.0.0\n5.0.0.0/8\n", 2,
	 {{"1.0.0.0", 1}, {"3.3.3.3", 1}, {"5.1.1.1", 1}, {"6.0.0.0", 0}}},
	{"crlf", "1.0.1.0/24\r\n8.0.0.0/8\r\n", 2,
	 {{"1.0.1.7", 1}, {"8.8.8.8", 1}, {"1.0.2.0", 0}}},
	{"empty_file", "", 0, {{"1.2.3.4", 0}, {"0.0.0.0", 0}}},
};

INSTANTIATE_TEST_SUITE_P(Tables, CrouteLookup, ::testing::ValuesIn(kCrouteCases),
                         qiltest::CaseName());

TEST(Croute, LargeTableEveryEntryAndEveryGap)
{
	TmpDir dir;
	LogCapture log;
	std::string text;

	/* 1.0.0.0/16 .. 200.0.0.0/16, written in reverse to exercise the sort. */
	for (int i = 200; i >= 1; i--)
		text += std::to_string(i) + ".0.0.0/16\n";
	ASSERT_EQ(load_croute_text(dir, text), 0);
	ASSERT_EQ(tables.n_croute, 200);
	for (int i = 1; i <= 200; i++) {
		std::string in = std::to_string(i) + ".0.5.5";
		std::string low = std::to_string(i) + ".0.0.0";
		std::string high = std::to_string(i) + ".0.255.255";
		std::string gap = std::to_string(i) + ".1.0.0";
		EXPECT_EQ(croute_lookup(ipv4(in.c_str())), 1) << in;
		EXPECT_EQ(croute_lookup(ipv4(low.c_str())), 1) << low;
		EXPECT_EQ(croute_lookup(ipv4(high.c_str())), 1) << high;
		EXPECT_EQ(croute_lookup(ipv4(gap.c_str())), 0) << gap;
	}
	EXPECT_EQ(croute_lookup(ipv4("0.255.255.255")), 0);
	EXPECT_EQ(croute_lookup(ipv4("255.255.255.255")), 0);
}

TEST(Croute, CountLineAndUnsetOrMissingFile)
{
	TmpDir dir;
	LogCapture log;

	ASSERT_EQ(load_croute_text(dir, "1.0.0.0/8\n2.0.0.0/8\n3.0.0.0/8", &log), 0);
	EXPECT_EQ(tables.n_croute, 3); /* the last line has no newline */
	EXPECT_TRUE(log.contains("[INFO] 3 CRoute entries are loaded.\n")) << log.text();

	ASSERT_EQ(load_croute_text(dir, "", &log), 0);
	EXPECT_TRUE(log.contains("[INFO] 0 CRoute entries are loaded.\n")) << log.text();

	log.clear();
	ASSERT_EQ(dnsc_conf.croute_path, nullptr);
	EXPECT_EQ(load_croute(), 0);
	EXPECT_EQ(tables.n_croute, 0);
	EXPECT_EQ(croute_lookup(ipv4("1.2.3.4")), 0);
	EXPECT_TRUE(log.contains("[WARN] No CRoute file found.\n")) << log.text();

	log.clear();
	std::string missing = dir.file("no-such-route.txt");
	ConfString conf(&dnsc_conf.croute_path, missing);
	EXPECT_EQ(load_croute(), -1);
	EXPECT_TRUE(log.contains("QILEC_00687: Failed to open CRoute: " + missing + "\n"))
	    << log.text();
}

struct BadPrefix {
	const char *name;
	const char *line;
};

class CrouteBadPrefix : public ::testing::TestWithParam<BadPrefix> {};

TEST_P(CrouteBadPrefix, FailsTheLoadNamingTextFileAndLine)
{
	const BadPrefix &c = GetParam();
	TmpDir dir;
	LogCapture log;
	std::string path = dir.file("route.txt");

	qiltest::write_file(path, std::string("1.0.0.0/8\n") + c.line + "\n3.0.0.0/8\n");
	ConfString conf(&dnsc_conf.croute_path, path);
	log.clear();
	EXPECT_EQ(load_croute(), -1);
	std::string want = std::string("QILEC_00688: Invalid address format. (") + c.line +
	    " at " + path + ":2\n";
	EXPECT_TRUE(log.contains(want)) << "want: " << want << "log: " << log.text();
	EXPECT_TRUE(log.contains("[ERROR] QILEC_00688")) << log.text();
}

const BadPrefix kBadPrefixes[] = {
	{"slash_only", "1.0.1.0/"},
	{"thirty_three", "1.0.1.0/33"},
	{"not_a_number", "1.0.1.0/x"},
	{"negative", "1.0.1.0/-1"},
	{"trailing_junk", "1.0.1.0/24x"},
	{"huge", "1.0.1.0/4294967320"},
};

INSTANTIATE_TEST_SUITE_P(Lines, CrouteBadPrefix, ::testing::ValuesIn(kBadPrefixes),
                         qiltest::CaseName());

/* ---- Blocklist: file in, table out ---- */

struct BlacklistCase {
	const char *name;
	std::string file;
	std::vector<std::string> entries; /* any order */
};

class BlacklistLoad : public ::testing::TestWithParam<BlacklistCase> {};

TEST_P(BlacklistLoad, Pieces)
{
	const BlacklistCase &c = GetParam();
	TmpDir dir;
	LogCapture log;

	ASSERT_EQ(load_blacklist_text(dir, c.file), 0) << log.text();
	std::vector<std::string> got = blacklist_entries();
	std::vector<std::string> want = c.entries;
	std::sort(got.begin(), got.end());
	std::sort(want.begin(), want.end());
	EXPECT_EQ(got, want);
	EXPECT_TRUE(std::is_sorted(tables.ip_blacklist, tables.ip_blacklist + tables.n_ip_blacklist));
	EXPECT_TRUE(log.contains("[INFO] " + std::to_string(want.size()) +
	                         " entries of IP blacklist are loaded.\n"))
	    << log.text();
}

const BlacklistCase kBlacklistCases[] = {
	{"crlf", "203.0.113.5\r\n", {"203.0.113.5"}},
	{"crlf_two", "203.0.113.5\r\n198.51.100.1\r\n", {"203.0.113.5", "198.51.100.1"}},
	{"no_final_newline", "203.0.113.5\n198.51.100.1", {"203.0.113.5", "198.51.100.1"}},
	{"blank_line", "1.2.3.4\n\n5.6.7.8\n", {"1.2.3.4", "255.255.255.255", "5.6.7.8"}},
	{"duplicates_stay", "9.9.9.9\n9.9.9.9\n", {"9.9.9.9", "9.9.9.9"}},
	/* Skipped (with a warning each: ListLines). */
	{"not_an_address", "example\n", {}},
	/* 40 characters: a piece of 31 and a piece of 9 (with the newline). */
	{"forty_chars", std::string(40, 'x') + "\n", {}},
	{"forty_chars_two_addresses",
	 "10.0.0.1" + std::string(23, ' ') + "10.0.0.2" + "\n",
	 {"10.0.0.1", "10.0.0.2"}},
	/* 30 characters and the newline fill one piece exactly; 31 do not. */
	{"thirty_chars", "10.0.0.3" + std::string(22, ' ') + "\n", {"10.0.0.3"}},
	{"thirty_one_chars", "10.0.0.4" + std::string(23, ' ') + "\n",
	 {"10.0.0.4", "255.255.255.255"}},
	{"empty_file", "", {}},
	{"comments_and_blanks", "# mine\n\t1.2.3.4  # office\n   \n#\n", {"1.2.3.4", "255.255.255.255"}},
	/* A comment longer than a piece stays a comment to its line's end. */
	{"long_comment", "# " + std::string(40, 'c') + " 9.9.9.9\n5.6.7.8\n", {"5.6.7.8"}},
};

INSTANTIATE_TEST_SUITE_P(Files, BlacklistLoad, ::testing::ValuesIn(kBlacklistCases),
                         qiltest::CaseName());

TEST(Blacklist, UnsetMissingAndReload)
{
	TmpDir dir;
	LogCapture log;

	ASSERT_EQ(load_blacklist_text(dir, "1.1.1.1\n2.2.2.2\n3.3.3.3\n"), 0);
	EXPECT_EQ(tables.n_ip_blacklist, 3);
	ASSERT_EQ(load_blacklist_text(dir, "4.4.4.4\n"), 0);
	EXPECT_EQ(blacklist_entries(), std::vector<std::string>{"4.4.4.4"});

	log.clear();
	ASSERT_EQ(dnsc_conf.blacklist_path, nullptr);
	EXPECT_EQ(load_blacklist(), 0);
	EXPECT_EQ(tables.n_ip_blacklist, 0);
	EXPECT_EQ(log.text(), "");

	std::string missing = dir.file("no-such-blacklist.txt");
	ConfString conf(&dnsc_conf.blacklist_path, missing);
	EXPECT_EQ(load_blacklist(), -1);
	EXPECT_TRUE(log.contains("[ERROR] QILEC_00685: Failed to openopen IP blacklist: " + missing +
	                         "\n"))
	    << log.text();
}

/* Lines that hold no address, in either list: skipped, each line named
 * once, at most LIST_WARN_MAX of a file, then the count of all. */
struct ListLinesCase {
	const char *name;
	bool croute;
	std::string file;
	int32_t entries;
	std::vector<std::string> warnings; /* "@" stands for the file's path */
};

class ListLines : public ::testing::TestWithParam<ListLinesCase> {};

TEST_P(ListLines, SkippedWithAWarningNamingTheLine)
{
	const ListLinesCase &c = GetParam();
	TmpDir dir;
	LogCapture log;

	log.clear();
	ASSERT_EQ(c.croute ? load_croute_text(dir, c.file) : load_blacklist_text(dir, c.file), 0);
	EXPECT_EQ(c.croute ? tables.n_croute : tables.n_ip_blacklist, c.entries);
	std::string path = dir.file(c.croute ? "route.txt" : "blacklist.txt");
	std::string want;
	for (std::string w : c.warnings)
		want += "[WARN]  " + w.replace(w.find('@'), 1, path) + "\n";
	std::string got;
	std::istringstream in(log.text());
	for (std::string line; std::getline(in, line);)
		if (line.find("QILEC_0090") != std::string::npos)
			got += line.substr(line.find("[WARN]")) + "\n";
	EXPECT_EQ(got, want);
}

const ListLinesCase kListLines[] = {
	{"forty_chars_one_warning", false, std::string(40, 'x') + "\n", 0,
	 {"QILEC_00902: @:1: \"" + std::string(31, 'x') + "\" is not an address; line skipped."}},
	{"five_bad_lines", false, "a\nb\n1.1.1.1\nc\nd\ne\n", 1,
	 {"QILEC_00902: @:1: \"a\" is not an address; line skipped.",
	  "QILEC_00902: @:2: \"b\" is not an address; line skipped.",
	  "QILEC_00902: @:4: \"c\" is not an address; line skipped.",
	  "QILEC_00903: @: 5 lines in all are not addresses and were skipped."}},
	{"croute_bad_address", true, "1.0.0.0/8\n300.1.1.0/24\n/8\n", 1,
	 {"QILEC_00902: @:2: \"300.1.1.0/24\" is not an address; line skipped.",
	  "QILEC_00902: @:3: \"/8\" is not an address; line skipped."}},
};

INSTANTIATE_TEST_SUITE_P(Files, ListLines, ::testing::ValuesIn(kListLines),
                         qiltest::CaseName());

/* ---- filter_response ---- */

/* A parsed answer over a heap block of exactly its size, so that a read
 * past its end is caught by the address sanitizer. */
class Parsed {
public:
	explicit Parsed(const dns::Bytes &m) : len_(m.size()), buf_(new uint8_t[m.size()])
	{
		std::copy(m.begin(), m.end(), buf_.get());
		ok_ = VDNS_initparse(buf_.get(), len_, &msg_) == 0;
	}
	bool ok() const { return ok_; }
	struct vdns_msg *msg() { return &msg_; }

private:
	size_t len_;
	std::unique_ptr<uint8_t[]> buf_;
	struct vdns_msg msg_{};
	bool ok_ = false;
};

const dns::Bytes &
query()
{
	static const dns::Bytes q = dns::build_query(0x1234, "www.example.com", dns::TYPE_A);
	return q;
}

dns::Record
short_a(size_t len)
{
	return dns::Record{dns::TYPE_A, dns::Bytes(len, 203)};
}

/*
 * Tables for every filter case: blocklist 203.0.113.5 and 198.51.100.66;
 * CRoute 1.0.0.0/8 and 110.0.0.0/8 (domestic). Server 1.1.1.1 is domestic,
 * 8.8.8.8 foreign.
 */
class Filter : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(load_blacklist_text(dir_, "203.0.113.5\n198.51.100.66\n"), 0);
		ASSERT_EQ(load_croute_text(dir_, "1.0.0.0/8\n110.0.0.0/8\n"), 0);
		saved_servers_ = upstreams.n_upstream_servers;
	}
	void TearDown() override { upstreams.n_upstream_servers = saved_servers_; }

	TmpDir dir_;
	LogCapture log_;
	int32_t saved_servers_ = 0;
};

struct FilterCase {
	const char *name;
	std::vector<dns::Record> answers;
	const char *server;
	bool croute_enabled;
	int32_t n_servers;
	int want;
};

class FilterCases : public Filter, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FilterCases, Judgement)
{
	const FilterCase &c = GetParam();
	ConfString croute(&dnsc_conf.croute_path,
	                  c.croute_enabled ? dir_.file("route.txt").c_str() : nullptr);
	upstreams.n_upstream_servers = c.n_servers;

	Parsed p(dns::build_answer(query(), c.answers));
	ASSERT_TRUE(p.ok());
	EXPECT_EQ(filter_response(p.msg(), ipv4(c.server)), c.want);
}

using dns::a_record;
using dns::aaaa_record;
using dns::cname_record;
using dns::ptr_record;

const FilterCase kFilterCases[] = {
	/* Blocklist, whoever answers. */
	{"blocklisted_a", {a_record("203.0.113.5")}, "8.8.8.8", false, 1, FILTER_DROP},
	{"blocklisted_second_a", {a_record("110.1.1.1"), a_record("198.51.100.66")}, "8.8.8.8",
	 false, 1, FILTER_DROP},
	{"blocklisted_from_domestic", {a_record("203.0.113.5")}, "1.1.1.1", true, 2, FILTER_DROP},
	{"not_blocklisted_neighbour", {a_record("203.0.113.6")}, "8.8.8.8", false, 1,
	 FILTER_HOLD},
	/* How many records pass. */
	{"no_answers", {}, "8.8.8.8", false, 1, FILTER_HOLD},
	{"single_a", {a_record("110.1.1.1")}, "8.8.8.8", false, 1, FILTER_HOLD},
	{"two_a", {a_record("110.1.1.1"), a_record("110.1.1.2")}, "8.8.8.8", false, 1,
	 FILTER_RELAY},
	{"single_cname", {cname_record("other.example.com")}, "8.8.8.8", false, 1, FILTER_HOLD},
	{"single_aaaa", {aaaa_record("2001:db8::1")}, "8.8.8.8", false, 1, FILTER_RELAY},
	{"single_ptr", {ptr_record("host.example.com")}, "8.8.8.8", false, 1, FILTER_RELAY},
	{"cname_then_aaaa", {cname_record("other.example.com"), aaaa_record("2001:db8::1")},
	 "8.8.8.8", false, 1, FILTER_RELAY},
	/* Nothing after the first AAAA or PTR is examined. */
	{"aaaa_before_blocklisted", {aaaa_record("2001:db8::1"), a_record("203.0.113.5")},
	 "8.8.8.8", false, 1, FILTER_RELAY},
	{"cname_aaaa_blocklisted",
	 {cname_record("other.example.com"), aaaa_record("2001:db8::1"), a_record("203.0.113.5")},
	 "8.8.8.8", false, 1, FILTER_RELAY},
	/* A records too short to hold an address pass. */
	{"a_rdlen_2", {short_a(2)}, "8.8.8.8", false, 1, FILTER_HOLD},
	{"a_rdlen_0", {short_a(0)}, "8.8.8.8", false, 1, FILTER_HOLD},
	{"a_rdlen_3_then_a", {short_a(3), a_record("110.1.1.1")}, "8.8.8.8", false, 1,
	 FILTER_RELAY},
	{"a_then_a_rdlen_2", {a_record("110.1.1.1"), short_a(2)}, "8.8.8.8", false, 1,
	 FILTER_RELAY},
	/* Server class: a domestic server's foreign A. */
	{"domestic_server_foreign_a", {a_record("8.8.4.4")}, "1.1.1.1", true, 2, FILTER_DROP},
	{"domestic_server_foreign_second_a", {a_record("110.1.1.1"), a_record("8.8.4.4")},
	 "1.1.1.1", true, 3, FILTER_DROP},
	{"domestic_server_domestic_a", {a_record("110.1.1.1")}, "1.1.1.1", true, 2, FILTER_HOLD},
	{"domestic_server_single_server", {a_record("8.8.4.4")}, "1.1.1.1", true, 1,
	 FILTER_HOLD},
	{"domestic_server_croute_disabled", {a_record("8.8.4.4")}, "1.1.1.1", false, 2,
	 FILTER_HOLD},
	{"foreign_server_foreign_a", {a_record("8.8.4.4")}, "8.8.8.8", true, 2, FILTER_HOLD},
	{"foreign_server_two_foreign_a", {a_record("8.8.4.4"), a_record("9.9.9.9")}, "8.8.8.8",
	 true, 2, FILTER_RELAY},
	{"foreign_server_domestic_a", {a_record("110.1.1.1")}, "8.8.8.8", true, 2, FILTER_HOLD},
	{"domestic_server_foreign_aaaa", {aaaa_record("2001:db8::1")}, "1.1.1.1", true, 2,
	 FILTER_RELAY},
};

INSTANTIATE_TEST_SUITE_P(Answers, FilterCases, ::testing::ValuesIn(kFilterCases),
                         qiltest::CaseName());

TEST_F(Filter, EveryBlocklistEntryIsFound)
{
	std::string text;
	std::vector<std::string> listed;

	for (int i = 0; i < 60; i++) {
		std::string a = std::to_string(17 + i * 3) + "." + std::to_string(200 - i) + ".0." +
		    std::to_string(i * 4);
		listed.push_back(a);
		text += a + "\n";
	}
	ASSERT_EQ(load_blacklist_text(dir_, text), 0);
	upstreams.n_upstream_servers = 1;
	for (const std::string &a : listed) {
		Parsed p(dns::build_answer(query(), {a_record(a)}));
		ASSERT_TRUE(p.ok());
		EXPECT_EQ(filter_response(p.msg(), ipv4("8.8.8.8")), FILTER_DROP) << a;
	}
	Parsed clean(dns::build_answer(query(), {a_record("17.200.0.1")}));
	ASSERT_TRUE(clean.ok());
	EXPECT_EQ(filter_response(clean.msg(), ipv4("8.8.8.8")), FILTER_HOLD);
}

TEST_F(Filter, EmptyTablesDropNothing)
{
	ASSERT_EQ(load_blacklist(), 0); /* no blocklist configured: empty */
	ASSERT_EQ(load_croute_text(dir_, ""), 0);
	ConfString croute(&dnsc_conf.croute_path, dir_.file("route.txt"));
	upstreams.n_upstream_servers = 2;

	/* With an empty CRoute table no server is domestic. */
	Parsed p(dns::build_answer(query(), {a_record("203.0.113.5")}));
	ASSERT_TRUE(p.ok());
	EXPECT_EQ(filter_response(p.msg(), ipv4("1.1.1.1")), FILTER_HOLD);
}

/*
 * An answer record whose owner name points at itself: the section still
 * skips cleanly, but the record cannot be expanded. The answer is relayed
 * with a warning.
 */
TEST_F(Filter, UnparsableRecordIsRelayedWithWarning)
{
	dns::Bytes m = dns::build_answer(query(), {a_record("203.0.113.5")});
	size_t rr = query().size(); /* the answer record follows the question */
	ASSERT_EQ(m[rr], 0xc0);
	m[rr + 1] = static_cast<uint8_t>(rr);
	upstreams.n_upstream_servers = 1;

	Parsed p(m);
	ASSERT_TRUE(p.ok());
	log_.clear();
	EXPECT_EQ(filter_response(p.msg(), ipv4("8.8.8.8")), FILTER_RELAY);
	EXPECT_TRUE(log_.contains("[WARN]  [WARN] filter: Failed to parse DNS response.\n"))
	    << log_.text();
}

} // namespace
