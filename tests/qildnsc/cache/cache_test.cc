/*
 * cache_test.cc -- the answer cache on a virtual clock: what is stored and
 * for how long (a table of answers), what a hit looks like to its client,
 * which entry goes when the cache is full, and the timing of background
 * refreshes and stale answers.
 */
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache/cache.h"
#include "cache/cache_file.h"
#include "dns_message.h"
#include "vdns.h"
#include "vdns_question.h"

namespace {

namespace dns = qiltest::dns;
using dns::Bytes;

const double T0 = 1000.0;

/* Sets the RCODE and the flags `set` in the header of `m`. */
Bytes
with_header(Bytes m, unsigned rcode, uint16_t set = 0)
{
	m[2] |= (uint8_t)(set >> 8);
	m[3] = (uint8_t)((m[3] & 0xf0) | rcode | (set & 0xf0));
	return m;
}

/* `m` with an SOA in its authority section: its TTL and its minimum. */
Bytes
with_soa(Bytes m, uint32_t ttl, uint32_t minimum)
{
	const uint8_t rec[] = {0xc0, 12, 0, 6, 0, 1,
	    (uint8_t)(ttl >> 24), (uint8_t)(ttl >> 16), (uint8_t)(ttl >> 8), (uint8_t)ttl,
	    0, 24, 0xc0, 12, 0xc0, 12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4,
	    (uint8_t)(minimum >> 24), (uint8_t)(minimum >> 16), (uint8_t)(minimum >> 8),
	    (uint8_t)minimum};
	m.insert(m.end(), std::begin(rec), std::end(rec));
	m[9]++; /* NSCOUNT */
	return m;
}

struct Parsed {
	struct vdns_msg msg;
	struct vdns_question q;
};

Parsed
parse(const Bytes &m)
{
	Parsed p;
	EXPECT_EQ(VDNS_initparse(m.data(), m.size(), &p.msg), 0);
	EXPECT_EQ(VDNS_question_read(&p.msg, &p.q), 0);
	return p;
}

/* The TTLs of every record of `m` but OPT. */
std::vector<uint32_t>
ttls(const Bytes &m)
{
	Parsed p = parse(m);
	std::vector<uint32_t> out;
	struct vdns_rr rr;
	for (int s = VDNS_S_AN; s < VDNS_S_MAX; s++)
		for (int i = 0; i < p.msg.counts[s]; i++)
			if (VDNS_parserr(&p.msg, s, i, &rr) == 0 && rr.type != 41)
				out.push_back(rr.ttl);
	return out;
}

class CacheTest : public ::testing::Test {
protected:
	void SetUp() override { c_ = cache_new(8, CACHE_TTL_MIN, CACHE_TTL_MAX); }
	void TearDown() override { cache_delete(c_); }

	/* The cache's answer to `q` at `t` (empty on a miss). */
	Bytes ask(const Bytes &q, double t, uint8_t bits = 0, bool *stale = nullptr)
	{
		Parsed p = parse(q);
		Bytes out(4096);
		int n = cache_answer(c_, q.data(), q.size(), &p.q, bits, t, out.data(),
		    out.size(), stale);
		EXPECT_GE(n, 0);
		out.resize(n > 0 ? (size_t)n : 0);
		return out;
	}

	bool store(const Bytes &a, double t, uint8_t bits = 0,
	           enum cache_origin origin = CACHE_RELAYED)
	{
		return cache_store(c_, a.data(), a.size(), bits, origin, t);
	}

	struct dns_cache *c_ = nullptr;
};

struct StoreCase {
	const char *name;
	std::function<Bytes(const Bytes &)> answer;
	double life; /* seconds it answers; 0: never stored */
	uint32_t shown; /* the first record's TTL on the first hit */
};

TEST_F(CacheTest, WhatIsStoredAndForHowLong)
{
	const auto one = std::vector<dns::Record>{dns::a_record("192.0.2.1")};
	dns::Opt cookie, badvers;
	cookie.options.emplace_back(10, Bytes(16, 7));
	badvers.ext_rcode = 1;
	const StoreCase cases[] = {
	    {"one address", [&](const Bytes &q) { return dns::build_answer(q, one, 60); }, 60, 60},
	    {"CNAME then A", [](const Bytes &q) {
		    return dns::build_answer(q, {dns::cname_record("b.test"),
		        dns::a_record("192.0.2.2")}, 300); }, 300, 300},
	    {"forged TTL of two weeks is clamped to a day", [&](const Bytes &q) {
		    return dns::build_answer(q, one, 14 * 86400); }, 86400, 86400},
	    {"TTL 0 is not kept", [&](const Bytes &q) { return dns::build_answer(q, one, 0); }, 0, 0},
	    {"truncated", [&](const Bytes &q) {
		    return with_header(dns::build_answer(q, one), 0, dns::FLAG_TC); }, 0, 0},
	    {"SERVFAIL", [](const Bytes &q) { return with_header(dns::build_answer(q, {}), 2); },
	        0, 0},
	    {"not a response", [&](const Bytes &q) {
		    Bytes a = dns::build_answer(q, one);
		    a[2] &= 0x7f;
		    return a; }, 0, 0},
	    {"NXDOMAIN lives its SOA minimum", [](const Bytes &q) {
		    return with_soa(with_header(dns::build_answer(q, {}), 3), 3600, 300); }, 300, 300},
	    {"NODATA lives its SOA's TTL when less", [](const Bytes &q) {
		    return with_soa(dns::build_answer(q, {}), 100, 900); }, 100, 100},
	    {"negative answers at most an hour", [](const Bytes &q) {
		    return with_soa(with_header(dns::build_answer(q, {}), 3), 90000, 90000); },
	        CACHE_NEGATIVE_MAX, CACHE_NEGATIVE_MAX},
	    {"NXDOMAIN without SOA", [](const Bytes &q) {
		    return with_header(dns::build_answer(q, {}), 3); }, 0, 0},
	    {"NXDOMAIN without SOA, with -N 60", [](const Bytes &q) {
		    return with_header(dns::build_answer(q, {}), 3); }, 60, 0},
	    {"NODATA without SOA, with -N 60", [](const Bytes &q) {
		    return dns::build_answer(q, {}); }, 60, 0},
	    {"OPT with a cookie is cut off", [&](const Bytes &q) {
		    return dns::with_opt(dns::build_answer(q, one), cookie); }, 60, 60},
	    {"extended RCODE (BADVERS)", [&](const Bytes &q) {
		    return dns::with_opt(dns::build_answer(q, one), badvers); }, 0, 0},
	    {"OPT before another record", [&](const Bytes &q) {
		    return dns::with_additional(dns::with_opt(dns::build_answer(q, one), {}), 1); },
	        0, 0},
	    {"signed (TSIG)", [&](const Bytes &q) {
		    return dns::with_additional(dns::build_answer(q, one), 250); }, 0, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		cache_delete(c_);
		c_ = cache_new(8, CACHE_TTL_MIN, CACHE_TTL_MAX);
		if (strstr(c.name, "-N 60") != nullptr)
			cache_set_bare_negative(c_, 60);
		Bytes q = dns::build_query(1, "x.test", dns::TYPE_A);
		EXPECT_EQ(store(c.answer(q), T0), c.life > 0);
		Bytes hit = ask(q, T0 + 0.5);
		EXPECT_EQ(!hit.empty(), c.life > 0);
		if (hit.empty())
			continue;
		EXPECT_EQ(ttls(hit).empty() ? 0u : ttls(hit).front(), c.shown);
		EXPECT_FALSE(dns::opt_record(hit)) << "another client's OPT";
		EXPECT_FALSE(ask(q, T0 + c.life - 0.5).empty());
		bool stale = false;
		EXPECT_TRUE(ask(q, T0 + c.life, 0, &stale).empty());
		EXPECT_TRUE(stale);
	}
}

TEST_F(CacheTest, HitCarriesTheClientsIdAndSpellingWithTtlsCountedDown)
{
	Bytes q = dns::build_query(0x1111, "www.example.test", dns::TYPE_A);
	ASSERT_TRUE(store(dns::build_answer(q, {dns::a_record("192.0.2.1"),
	    dns::a_record("192.0.2.2")}, 60), T0));

	Bytes q2 = dns::build_query(0xbeef, "WwW.ExAmple.TEST", dns::TYPE_A);
	Bytes hit = ask(q2, T0 + 25.7);
	ASSERT_FALSE(hit.empty());
	EXPECT_EQ(dns::message_id(hit), 0xbeef);
	EXPECT_EQ(dns::first_question(hit)->name, "WwW.ExAmple.TEST");
	EXPECT_EQ(dns::answer_addresses(hit), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
	EXPECT_EQ(ttls(hit), (std::vector<uint32_t>{35, 35}));

	/* Another type, and the same question with DO or CD, are other keys. */
	EXPECT_TRUE(ask(dns::build_query(2, "www.example.test", dns::TYPE_AAAA), T0 + 1).empty());
	EXPECT_TRUE(ask(q, T0 + 1, CACHE_BIT_DO | CACHE_BIT_EDNS).empty());
	EXPECT_TRUE(ask(q, T0 + 1, CACHE_BIT_CD).empty());
}

/* Only a plain query's answer is the same for every asker with the same
 * key bits: anything else is forwarded (CACHE_BIT_FORWARD). */
TEST(CacheQueryBits, WhatOfAQueryItsAnswerDependsOn)
{
	const Bytes q = dns::build_query(1, "k.test", dns::TYPE_A);
	auto opt = [](uint16_t code, Bytes data = {}) {
		dns::Opt o;
		o.options.emplace_back(code, std::move(data));
		return o;
	};
	dns::Opt with_do, v1, two_options;
	with_do.flags = 0x8000;
	v1.version = 1;
	two_options = opt(10, Bytes(8, 1));
	two_options.options.emplace_back(3, Bytes{});
	Bytes overrun = dns::with_opt(q, opt(12, Bytes(4, 0)));
	overrun[overrun.size() - 5] = 9; /* the option's length: past the data */
	Bytes cd = q;
	cd[3] |= 0x10;
	const struct {
		const char *name;
		Bytes query;
		uint8_t bits;
	} rows[] = {
	    {"plain", q, 0},
	    {"CD", cd, CACHE_BIT_CD},
	    {"EDNS", dns::with_opt(q, {}), CACHE_BIT_EDNS},
	    {"DO", dns::with_opt(q, with_do), CACHE_BIT_EDNS | CACHE_BIT_DO},
	    {"cookie", dns::with_opt(q, opt(10, Bytes(8, 1))), CACHE_BIT_EDNS},
	    {"padding", dns::with_opt(q, opt(12, Bytes(20, 0))), CACHE_BIT_EDNS},
	    {"NSID", dns::with_opt(q, opt(3)), CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"cookie and NSID", dns::with_opt(q, two_options), CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"Client Subnet", dns::with_opt(q, opt(8, {0, 1, 24, 0, 192, 0, 2})),
	        CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"EXPIRE", dns::with_opt(q, opt(9)), CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"unknown option 100", dns::with_opt(q, opt(100)), CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"option overruns", overrun, CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"version 1", dns::with_opt(q, v1), CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"two OPT", dns::with_opt(dns::with_opt(q, {}), {}), CACHE_BIT_EDNS | CACHE_BIT_FORWARD},
	    {"TSIG", dns::with_additional(q, 250), CACHE_BIT_FORWARD},
	    {"SIG(0)", dns::with_additional(q, 24), CACHE_BIT_FORWARD},
	    {"opcode 2", with_header(q, 0, 0x1000), CACHE_BIT_FORWARD},
	    {"TC", with_header(q, 0, dns::FLAG_TC), CACHE_BIT_FORWARD},
	    {"a response", with_header(q, 0, dns::FLAG_QR), CACHE_BIT_FORWARD},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.name);
		Parsed p = parse(row.query);
		EXPECT_EQ(cache_query_bits(&p.msg), row.bits);
	}
}

/* A hit is a reply to its asker: RD and CD as asked, AD only when asked
 * for with AD or DO, an OPT of its own (DO as asked, no options). */
TEST_F(CacheTest, HitIsAReplyToItsAsker)
{
	Bytes q = dns::build_query(1, "h.test", dns::TYPE_A);
	dns::Opt server;
	server.size = 1232;
	server.options.emplace_back(10, Bytes(16, 7));
	Bytes a = dns::with_opt(with_header(dns::build_answer(q, {dns::a_record("192.0.2.1")}), 0,
	    VDNS_AD), server);
	ASSERT_TRUE(store(a, T0, CACHE_BIT_EDNS));
	ASSERT_TRUE(store(a, T0, CACHE_BIT_EDNS | CACHE_BIT_DO));
	const struct {
		const char *name;
		uint16_t flags; /* the asker's */
		uint8_t bits;
		uint16_t want;  /* RD, CD, AD of the reply */
	} rows[] = {
	    {"no RD", 0, CACHE_BIT_EDNS, 0},
	    {"RD and AD", VDNS_RD | VDNS_AD, CACHE_BIT_EDNS, VDNS_RD | VDNS_AD},
	    {"DO", VDNS_RD, CACHE_BIT_EDNS | CACHE_BIT_DO, VDNS_RD | VDNS_AD},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.name);
		Bytes asker = dns::with_opt(dns::build_query(0x7777, "H.tEst", dns::TYPE_A, false), {});
		asker[2] = (uint8_t)(row.flags >> 8);
		asker[3] = (uint8_t)row.flags;
		Bytes hit = ask(asker, T0 + 1, row.bits);
		ASSERT_FALSE(hit.empty());
		EXPECT_EQ(dns::message_flags(hit) & (VDNS_RD | VDNS_CD | VDNS_AD), row.want);
		EXPECT_EQ(dns::first_question(hit)->name, "H.tEst");
		auto opt = dns::opt_record(hit);
		ASSERT_TRUE(opt);
		EXPECT_EQ(opt->size, CACHE_EDNS_SIZE);
		EXPECT_EQ(opt->flags, (row.bits & CACHE_BIT_DO) ? 0x8000 : 0);
		EXPECT_TRUE(opt->options.empty());
	}
	/* Nor is anything kept for, or given to, a query of its own. */
	EXPECT_TRUE(ask(q, T0 + 1, CACHE_BIT_EDNS | CACHE_BIT_FORWARD).empty());
	EXPECT_FALSE(store(dns::build_answer(q, {dns::a_record("192.0.2.1")}), T0, CACHE_BIT_FORWARD));
}

TEST_F(CacheTest, ReleasedHeldAnswerDoesNotReplaceARelayedOne)
{
	Bytes q = dns::build_query(1, "r.test", dns::TYPE_A);
	ASSERT_TRUE(store(dns::build_answer(q, {dns::a_record("192.0.2.1"),
	    dns::a_record("192.0.2.2")}), T0));
	EXPECT_FALSE(store(dns::build_answer(q, {dns::a_record("192.0.2.9")}), T0 + 0.3, 0,
	    CACHE_RELEASED));
	EXPECT_EQ(dns::answer_addresses(ask(q, T0 + 1)).size(), 2u);
	/* A relayed one does, and so does a released one once it expired. */
	EXPECT_TRUE(store(dns::build_answer(q, {dns::a_record("192.0.2.3"),
	    dns::a_record("192.0.2.4")}, 10), T0 + 1));
	EXPECT_TRUE(store(dns::build_answer(q, {dns::a_record("192.0.2.9")}), T0 + 20, 0,
	    CACHE_RELEASED));
	EXPECT_EQ(dns::answer_addresses(ask(q, T0 + 21)), (std::vector<std::string>{"192.0.2.9"}));
}

/* An answer from a verified TLS connection stays while it is fresh, whatever
 * a plain server says; another verified one, or anything once it expired,
 * takes its place. */
TEST_F(CacheTest, AVerifiedAnswerIsReplacedOnlyByAVerifiedOneWhileFresh)
{
	const struct {
		const char *what;
		double at;
		enum cache_origin origin;
		bool stored;
	} rows[] = {
	    {"relayed, fresh", T0 + 1, CACHE_RELAYED, false},
	    {"released, fresh", T0 + 1, CACHE_RELEASED, false},
	    {"verified, fresh", T0 + 1, CACHE_VERIFIED, true},
	    {"relayed, expired", T0 + 61, CACHE_RELAYED, true},
	};
	Bytes q = dns::build_query(1, "v.test", dns::TYPE_A);
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		ASSERT_TRUE(store(dns::build_answer(q, {dns::a_record("192.0.2.1"),
		    dns::a_record("192.0.2.2")}, 60), T0, 0, CACHE_VERIFIED));
		EXPECT_EQ(store(dns::build_answer(q, {dns::a_record("192.0.2.7"),
		    dns::a_record("192.0.2.8")}, 86400), r.at, 0, r.origin), r.stored);
		EXPECT_EQ(dns::answer_addresses(ask(q, r.at + 0.5)).front(),
		    r.stored ? "192.0.2.7" : "192.0.2.1");
		cache_delete(c_);
		c_ = cache_new(8, CACHE_TTL_MIN, CACHE_TTL_MAX);
	}
}

/* The cache written at an end and read at the next start, a wall-clock
 * gap later: entries go on ageing; an image that is cut, damaged, of
 * another version or lies about its entries restores nothing it should
 * not. */
TEST_F(CacheTest, KeptAcrossARestartAndNothingButAWholeImageRestored)
{
	Bytes q60 = dns::build_query(1, "sixty.test", dns::TYPE_A);
	Bytes q3600 = dns::build_query(2, "hour.test", dns::TYPE_A);
	ASSERT_TRUE(store(dns::build_answer(q60, {dns::a_record("192.0.2.1")}, 60), T0));
	ASSERT_TRUE(store(dns::build_answer(q3600, {dns::a_record("192.0.2.2")}, 3600), T0, 0,
	    CACHE_VERIFIED));
	std::vector<uint8_t> img;
	const double wall = 1.7e9, mono = 500.0; /* the next process's clock */
	cache_file_encode(c_, T0 + 10, wall, &img);

	auto restore = [&](const std::vector<uint8_t> &image, double gap) {
		cache_delete(c_);
		c_ = cache_new(8, CACHE_TTL_MIN, CACHE_TTL_MAX);
		return cache_file_decode(c_, image.data(), image.size(), mono, wall + gap);
	};
	/* 20 s later: each entry 30 s old. */
	ASSERT_EQ(restore(img, 20), 2);
	EXPECT_EQ(ttls(ask(q3600, mono)).front(), 3570u);
	EXPECT_EQ(ttls(ask(q60, mono)).front(), 30u);
	/* Two hours later: the hour's is stale, and due for a refresh at once. */
	ASSERT_EQ(restore(img, 7200), 2);
	bool stale = false;
	EXPECT_TRUE(ask(q3600, mono, 0, &stale).empty());
	EXPECT_TRUE(stale);
	uint8_t out[512];
	EXPECT_GT(cache_refresh_next(c_, mono, 7, out, sizeof out), 0);
	/* Past serve-stale: nothing. */
	EXPECT_EQ(restore(img, CACHE_STALE_KEEP + 7200), 0);

	auto with = [&](auto change) {
		std::vector<uint8_t> v = img;
		change(v);
		return v;
	};
	/* The checksum made right again, so that what it covers is tested. */
	auto resum = [](std::vector<uint8_t> &v) {
		uint64_t h = 14695981039346656037ull;
		for (size_t i = 0; i + 8 < v.size(); i++)
			h = (h ^ v[i]) * 1099511628211ull;
		for (int i = 0; i < 8; i++)
			v[v.size() - 8 + i] = (uint8_t)(h >> (56 - 8 * i));
	};
	/* The first entry (the most recently used: hour.test) starts at 24;
	 * its life at 24 + 14, its message at 24 + 24. */
	const struct {
		const char *what;
		std::vector<uint8_t> image;
		int restored;
	} rows[] = {
	    {"empty", {}, -1},
	    {"cut short", std::vector<uint8_t>(img.begin(), img.end() - 9), -1},
	    {"one byte changed", with([](std::vector<uint8_t> &v) { v[40] ^= 1; }), -1},
	    {"another version", with([&](std::vector<uint8_t> &v) { v[11] = 2; resum(v); }), -1},
	    {"a count beyond its entries", with([&](std::vector<uint8_t> &v) {
		    v[15]++; resum(v); }), -1},
	    {"a life longer than its records'", with([&](std::vector<uint8_t> &v) {
		    v[24 + 14] = 0x41; resum(v); }), 2},
	    {"an entry that is no answer", with([&](std::vector<uint8_t> &v) {
		    v[24 + 24 + 2] &= 0x7f; resum(v); }), 1},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		EXPECT_EQ(restore(r.image, 0), r.restored);
		if (r.restored == 2) {
			EXPECT_LE(ttls(ask(q3600, mono)).front(), 3600u) << "no longer than its TTL";
		}
	}
}

TEST_F(CacheTest, FullCacheDropsTheLeastRecentlyUsed)
{
	auto q = [](int i) { return dns::build_query(1, "n" + std::to_string(i) + ".test", dns::TYPE_A); };
	for (int i = 0; i < 8; i++)
		ASSERT_TRUE(store(dns::build_answer(q(i), {dns::a_record("192.0.2.1")}), T0 + i));
	EXPECT_FALSE(ask(q(0), T0 + 10).empty()); /* n0 is used again: n1 is the oldest */
	ASSERT_TRUE(store(dns::build_answer(q(8), {dns::a_record("192.0.2.1")}), T0 + 11));
	EXPECT_EQ(cache_size(c_), 8u);
	EXPECT_TRUE(ask(q(1), T0 + 12).empty());
	EXPECT_FALSE(ask(q(0), T0 + 12).empty());
	EXPECT_FALSE(ask(q(8), T0 + 12).empty());
}

/* Refreshes: only of entries asked again, at 90 % of their TTL, a few a
 * second and a few in flight; the refresh's answer starts a new lifetime. */
TEST_F(CacheTest, PopularEntriesAreRefreshedAtNinetyPercentWithinLimits)
{
	Bytes out(512);
	auto q = [](int i) { return dns::build_query(1, "p" + std::to_string(i) + ".test", dns::TYPE_A); };
	for (int i = 0; i < 6; i++)
		ASSERT_TRUE(store(dns::build_answer(q(i), {dns::a_record("192.0.2.1")}, 100), T0));
	ASSERT_TRUE(store(dns::build_answer(q(9), {dns::a_record("192.0.2.1")}, 100), T0));
	EXPECT_EQ(cache_refresh_wait(c_, T0), -1) << "nothing asked twice: no wake-up";
	for (int i = 0; i < 6; i++)
		ASSERT_FALSE(ask(q(i), T0 + 10).empty());
	EXPECT_NEAR(cache_refresh_wait(c_, T0 + 10), 80.0, 0.01);
	EXPECT_EQ(cache_refresh_next(c_, T0 + 89, 7, out.data(), out.size()), 0);

	/* At 90 s: CACHE_REFRESH_RATE start at once, the rest a second later. */
	std::vector<std::string> asked;
	for (int n; (n = cache_refresh_next(c_, T0 + 90, 7, out.data(), out.size())) > 0;) {
		Bytes r(out.begin(), out.begin() + n);
		EXPECT_EQ(dns::message_id(r), 7);
		EXPECT_EQ(dns::message_flags(r) & dns::FLAG_RD, dns::FLAG_RD);
		asked.push_back(dns::first_question(r)->name);
	}
	EXPECT_EQ(asked.size(), (size_t)CACHE_REFRESH_RATE);
	EXPECT_GT(cache_refresh_wait(c_, T0 + 90), 0.0);
	EXPECT_GT(cache_refresh_next(c_, T0 + 90 + 1.0 / CACHE_REFRESH_RATE + 0.01, 7,
	    out.data(), out.size()), 0);

	/* The refreshed answer lives anew, and is refreshed again only when
	 * asked twice in its new lifetime. */
	ASSERT_TRUE(store(dns::build_answer(dns::build_query(1, asked[0], dns::TYPE_A),
	    {dns::a_record("192.0.2.5")}, 100), T0 + 90.1));
	Bytes again = ask(dns::build_query(1, asked[0], dns::TYPE_A), T0 + 150);
	EXPECT_EQ(dns::answer_addresses(again), (std::vector<std::string>{"192.0.2.5"}));
	EXPECT_EQ(ttls(again).front(), 41u); /* 100 - 59.9 s, counted in whole seconds gone */
}

/* Everything the cache keeps is bounded by its entries: a refresh is
 * dropped with its entry, evicted or replaced, and wakes nobody up. */
TEST_F(CacheTest, RefreshesGoWithTheirEntries)
{
	cache_delete(c_);
	c_ = cache_new(100, CACHE_TTL_MIN, CACHE_TTL_MAX);
	auto q = [](int i) { return dns::build_query(1, "n" + std::to_string(i) + ".test", dns::TYPE_A); };
	for (int i = 0; i < 20000; i++) {
		ASSERT_TRUE(store(dns::build_answer(q(i), {dns::a_record("192.0.2.1")}, 300), T0));
		ASSERT_FALSE(ask(q(i), T0).empty());
	}
	EXPECT_EQ(cache_size(c_), 100u);
	EXPECT_EQ(cache_refresh_count(c_), 100u);

	/* Replaced, then evicted by names nobody asks twice. */
	ASSERT_TRUE(store(dns::build_answer(q(19999), {dns::a_record("192.0.2.2")}, 300), T0 + 1));
	EXPECT_EQ(cache_refresh_count(c_), 99u);
	for (int i = 20000; i < 20100; i++)
		ASSERT_TRUE(store(dns::build_answer(q(i), {dns::a_record("192.0.2.1")}, 300), T0 + 1));
	EXPECT_EQ(cache_refresh_count(c_), 0u);
	EXPECT_EQ(cache_refresh_wait(c_, T0 + 1), -1);
}

TEST_F(CacheTest, StaleAnswersForADayAfterExpiryWithTtlThirty)
{
	Bytes q = dns::build_query(1, "s.test", dns::TYPE_A);
	ASSERT_TRUE(store(dns::build_answer(q, {dns::a_record("192.0.2.7")}, 10), T0));
	Parsed p = parse(q);
	Bytes out(512);
	const struct {
		double at;
		bool fresh, stale;
	} steps[] = {
	    {T0 + 5, true, true},
	    {T0 + 11, false, true},
	    {T0 + 10 + CACHE_STALE_KEEP - 1, false, true},
	    {T0 + 10 + CACHE_STALE_KEEP + 1, false, false},
	};
	for (const auto &s : steps) {
		SCOPED_TRACE(s.at - T0);
		bool could = false;
		EXPECT_EQ(!ask(q, s.at, 0, &could).empty(), s.fresh);
		EXPECT_EQ(could, !s.fresh && s.stale);
		int n = cache_stale_answer(c_, &p.q, 0, 0x4242, VDNS_RD, s.at, out.data(), out.size());
		EXPECT_EQ(n > 0, s.stale);
		if (n <= 0)
			continue;
		Bytes a(out.begin(), out.begin() + n);
		EXPECT_EQ(dns::message_id(a), 0x4242);
		EXPECT_EQ(dns::message_flags(a) & VDNS_RD, VDNS_RD);
		EXPECT_EQ(ttls(a), (std::vector<uint32_t>{CACHE_STALE_TTL}));
	}
}

} // namespace
