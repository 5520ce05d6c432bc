/*
 * pending_test.cc -- the pending-query ring (wrap-around, lookup by ID),
 * the choice of fresh upstream IDs, and the question kept with each record.
 *
 * The ring is process-wide and cannot be emptied, so no test relies on
 * what another left in it: IDs come from pending_new_id(), which promises
 * that no slot holds them.
 */
#include <string.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns_message.h"
#include "odr.h"
#include "unit_support.h"
#include "forward/intake.h"
#include "forward/pending.h"

namespace {

using LogCapture = qiltest::ForwarderLog;
namespace dns = qiltest::dns;

struct pending_query
record(uint16_t id, uint16_t orig_id, uint16_t port)
{
	struct pending_query pq;
	memset(&pq, 0, sizeof pq);
	pq.id = id;
	pq.orig_id = orig_id;
	auto *sin = reinterpret_cast<struct sockaddr_in *>(&pq.client_addr);
	sin->sin_family = AF_INET;
	sin->sin_port = htons(port);
	sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	pq.client_addrlen = sizeof *sin;
	return pq;
}

uint16_t
client_port(const struct pending_query *pq)
{
	return ntohs(reinterpret_cast<const struct sockaddr_in *>(&pq->client_addr)->sin_port);
}

TEST(PendingRing, The257thRecordOverwritesTheFirst)
{
	pending_init();
	LogCapture log;
	std::vector<uint16_t> ids;

	for (int i = 0; i < PENDING_QUERIES_MAX; i++) {
		uint16_t id = pending_new_id();
		ids.push_back(id);
		struct pending_query pq = record(id, (uint16_t)(1000 + i), (uint16_t)(20000 + i));
		add_pending(&pq);
	}
	/* The ring now holds exactly these 256 records. */
	for (int i = 0; i < PENDING_QUERIES_MAX; i++) {
		const struct pending_query *pq = find_pending(ids[(size_t)i]);
		ASSERT_NE(pq, nullptr) << "record " << i;
		EXPECT_EQ(pq->orig_id, 1000 + i);
		EXPECT_EQ(client_port(pq), 20000 + i);
		EXPECT_EQ(pq->client_addrlen, (int32_t)sizeof(struct sockaddr_in));
	}

	uint16_t id = pending_new_id();
	struct pending_query pq = record(id, 4242, 30000);
	add_pending(&pq);
	EXPECT_EQ(find_pending(ids[0]), nullptr);
	ASSERT_NE(find_pending(ids[1]), nullptr);
	EXPECT_EQ(find_pending(ids[1])->orig_id, 1001);
	ASSERT_NE(find_pending(id), nullptr);
	EXPECT_EQ(find_pending(id)->orig_id, 4242);
	EXPECT_EQ(client_port(find_pending(id)), 30000);

	/* One more takes the second record's slot and nothing else. */
	uint16_t id2 = pending_new_id();
	struct pending_query pq2 = record(id2, 4343, 30001);
	add_pending(&pq2);
	EXPECT_EQ(find_pending(ids[1]), nullptr);
	EXPECT_NE(find_pending(ids[2]), nullptr);
	EXPECT_NE(find_pending(id), nullptr);
	EXPECT_NE(find_pending(ids[PENDING_QUERIES_MAX - 1]), nullptr);
}

/* A record pushed out while its client waits is said to be, the first of
 * a burst apart; one done with, or a refresh of our own, is not. */
TEST(PendingRing, AWaitingQueryPushedOutIsToldAndABurstStartsAfterAQuietSecond)
{
	pending_init();
	LogCapture log;
	for (int i = 0; i < PENDING_QUERIES_MAX; i++) {
		struct pending_query pq = record(pending_new_id(), 0, 1);
		pq.refresh = i == 0;
		pq.answered = i == 1;
		pq.held = i == 2;
		ASSERT_EQ(add_pending(&pq), PENDING_ADDED) << "into unused slot " << i;
	}
	struct Row {
		int64_t sec;
		int32_t usec;
		enum pending_add want;
	} rows[] = {
		{10, 0, PENDING_ADDED},         /* over the refresh */
		{10, 0, PENDING_ADDED},         /* over the one answered */
		{10, 0, PENDING_ADDED},         /* over the one held */
		{10, 0, PENDING_BURST},         /* the first waiting one */
		{10, 999999, PENDING_PUSHED_OUT},
		{11, 999998, PENDING_PUSHED_OUT}, /* a moment short of a quiet second */
		{12, 999998, PENDING_BURST},
		{12, 999999, PENDING_PUSHED_OUT},
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(std::to_string(r.sec) + "." + std::to_string(r.usec));
		struct pending_query pq = record(pending_new_id(), 0, 2);
		pq.sent = {r.sec, r.usec};
		EXPECT_EQ(add_pending(&pq), r.want);
	}
}

/*
 * With a slot still holding 0 (never used, or given 0 here), a fresh ID
 * must differ from every slot, 0 included. Enough draws that an ID source
 * which skipped the check would collide many times over.
 */
TEST(PendingRing, NewIdIsHeldByNoSlotAndIsNeverZeroWhileASlotHoldsZero)
{
	pending_init();
	LogCapture log;

	if (find_pending(0) == nullptr) {
		struct pending_query zero = record(0, 0, 0);
		add_pending(&zero);
	}
	ASSERT_NE(find_pending(0), nullptr);
	for (int i = 0; i < 200000; i++) {
		uint16_t id = pending_new_id();
		ASSERT_NE(id, 0) << "draw " << i;
		ASSERT_EQ(find_pending(id), nullptr) << "draw " << i << " gave " << id;
	}
}

/*
 * Upstream IDs must not be guessable from the previous ones. A clock-based
 * ID rises from one query to the next almost always; random ones do about
 * half the time.
 */
TEST(PendingRing, NewIdsDoNotFollowTheClock)
{
	pending_init();
	LogCapture log;
	std::set<uint16_t> seen;
	int rises = 0;
	uint16_t prev = pending_new_id();

	for (int i = 0; i < 1000; i++) {
		uint16_t id = pending_new_id();
		rises += id > prev;
		seen.insert(id);
		prev = id;
	}
	EXPECT_LT(rises, 700);
	EXPECT_GT(seen.size(), 950u);
}

/* ---- the question kept with a pending record ---- */

/* A parsed message over a heap block of exactly its size. */
class Parsed {
public:
	explicit Parsed(const dns::Bytes &m) : buf_(new uint8_t[m.size()])
	{
		std::copy(m.begin(), m.end(), buf_.get());
		ok_ = VDNS_initparse(buf_.get(), m.size(), &msg_) == 0;
	}
	bool ok() const { return ok_; }
	struct vdns_msg *msg() { return &msg_; }

private:
	std::unique_ptr<uint8_t[]> buf_;
	struct vdns_msg msg_{};
	bool ok_ = false;
};

dns::Bytes
with_class(dns::Bytes q, uint16_t qclass)
{
	q[q.size() - 2] = static_cast<uint8_t>(qclass >> 8);
	q[q.size() - 1] = static_cast<uint8_t>(qclass & 0xff);
	return q;
}

/* A header with no question. */
dns::Bytes
no_question(uint16_t flags)
{
	dns::Bytes m(dns::HEADER_SIZE, 0);
	m[0] = 0x12;
	m[1] = 0x34;
	m[2] = static_cast<uint8_t>(flags >> 8);
	m[3] = static_cast<uint8_t>(flags & 0xff);
	return m;
}

std::optional<struct vdns_question>
question_of(const dns::Bytes &m)
{
	Parsed p(m);
	EXPECT_TRUE(p.ok());
	if (!p.ok())
		return std::nullopt;
	struct vdns_question q;
	memset(&q, 0x5a, sizeof q);
	if (VDNS_question_read(p.msg(), &q) != 0)
		return std::nullopt;
	return q;
}

TEST(PendingQuestion, ReadsNameTypeAndClass)
{
	auto q = question_of(dns::build_query(7, "www.Example.COM", dns::TYPE_AAAA));
	ASSERT_TRUE(q);
	EXPECT_EQ(q->present, 1);
	/* The name in wire form, folded to lower case. */
	EXPECT_EQ(dns::Bytes(q->name, q->name + q->name_len), dns::encode_name("www.example.com"));
	EXPECT_EQ(q->type, dns::TYPE_AAAA);
	EXPECT_EQ(q->rr_class, dns::CLASS_IN);

	auto none = question_of(no_question(0));
	ASSERT_TRUE(none);
	EXPECT_EQ(none->present, 0);
}

/* A question name that points at itself expands to nothing: not readable. */
TEST(PendingQuestion, LoopingNameIsRefused)
{
	dns::Bytes m = no_question(0);
	m[5] = 1; /* QDCOUNT */
	m.insert(m.end(), {0xc0, 0x0c, 0x00, 0x01, 0x00, 0x01});
	Parsed p(m);
	ASSERT_TRUE(p.ok());
	struct vdns_question q;
	EXPECT_EQ(VDNS_question_read(p.msg(), &q), -1);
}

struct EqualCase {
	const char *name;
	dns::Bytes a;
	dns::Bytes b;
	bool equal;
};

class QuestionEqual : public ::testing::TestWithParam<EqualCase> {};

TEST_P(QuestionEqual, BothWays)
{
	const EqualCase &c = GetParam();
	auto qa = question_of(c.a);
	auto qb = question_of(c.b);
	ASSERT_TRUE(qa && qb);
	EXPECT_EQ(VDNS_question_equal(&*qa, &*qb), c.equal);
	EXPECT_EQ(VDNS_question_equal(&*qb, &*qa), c.equal);
}

dns::Bytes
q(const char *name, uint16_t type = dns::TYPE_A)
{
	return dns::build_query(1, name, type);
}

const EqualCase kEqualCases[] = {
	{"same", q("www.example.com"), q("www.example.com"), true},
	{"case_differs", q("WWW.Example.com"), q("www.example.COM"), true},
	{"answer_to_query", q("www.example.com"),
	 dns::build_answer(q("www.example.com"), {dns::a_record("192.0.2.1")}), true},
	{"other_name", q("www.example.com"), q("www.example.org"), false},
	{"longer_name", q("www.example.com"), q("www.example.com.example"), false},
	{"prefix_name", q("example.com"), q("www.example.com"), false},
	{"other_type", q("www.example.com", dns::TYPE_A), q("www.example.com", dns::TYPE_AAAA),
	 false},
	{"other_class", q("www.example.com"), with_class(q("www.example.com"), 3), false},
	{"root_name", q(""), q(""), true},
	{"none_and_none", no_question(0), no_question(0x8000), true},
	{"none_and_some", no_question(0x8000), q("www.example.com"), false},
	{"root_and_none", q(""), no_question(0), false},
};

INSTANTIATE_TEST_SUITE_P(Pairs, QuestionEqual, ::testing::ValuesIn(kEqualCases),
                         qiltest::CaseName());

} // namespace
