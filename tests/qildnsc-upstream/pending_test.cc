/*
 * pending_test.cc -- the ring of queries in flight of qildnsc-upstream:
 * IDs never repeat in flight, a full ring gives up its oldest query, the
 * time-out frees what the resolver never answered, and a source that only
 * repeats itself gives up after a bounded number of draws.
 */
#include <set>

#include <gtest/gtest.h>

#include "pending.h"

namespace {

uint32_t next_value;
/* Counts up: every ID is new until the 16-bit space wraps. */
uint32_t counting() { return next_value++; }
uint32_t stuck() { return 7; }

sockaddr_in
client(uint16_t port)
{
	sockaddr_in sin{};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	return sin;
}

struct Table {
	explicit Table(ups_draw_f *draw) : p(ups_pending_new(draw)) {}
	~Table() { ups_pending_delete(p); }
	struct ups_pending *p;
};

TEST(UpsPending, FullRingDropsTheOldestInFlight)
{
	Table t(counting);
	struct ups_query ev, q;
	std::set<uint16_t> ids;
	uint16_t first = 0;
	for (int i = 0; i < UPS_PENDING_MAX; i++) {
		sockaddr_in c = client((uint16_t)(1000 + i));
		const struct ups_query *a = ups_pending_add(t.p, (uint16_t)i, &c, 0.0, &ev);
		ASSERT_NE(a, nullptr);
		EXPECT_FALSE(ev.in_flight);
		if (i == 0)
			first = a->id;
		ids.insert(a->id);
	}
	EXPECT_EQ(ids.size(), (size_t)UPS_PENDING_MAX);
	EXPECT_EQ(ups_pending_in_flight(t.p), (unsigned)UPS_PENDING_MAX);

	sockaddr_in c = client(9);
	ASSERT_NE(ups_pending_add(t.p, 9, &c, 0.0, &ev), nullptr);
	EXPECT_TRUE(ev.in_flight);
	EXPECT_EQ(ev.client.sin_port, htons(1000));
	EXPECT_FALSE(ups_pending_take(t.p, first, &q));
	EXPECT_EQ(ups_pending_in_flight(t.p), (unsigned)UPS_PENDING_MAX);
}

TEST(UpsPending, TimeOutForgetsOnlyWhatIsDue)
{
	Table t(counting);
	struct ups_query ev, q;
	sockaddr_in c = client(1);
	uint16_t early = ups_pending_add(t.p, 1, &c, 0.0, &ev)->id;
	uint16_t answered = ups_pending_add(t.p, 2, &c, 1.0, &ev)->id;
	uint16_t late = ups_pending_add(t.p, 3, &c, 2.0, &ev)->id;
	ASSERT_TRUE(ups_pending_take(t.p, answered, &q));

	EXPECT_EQ(ups_pending_expire(t.p, UPS_PENDING_TIMEOUT - 0.1), 0u);
	EXPECT_EQ(ups_pending_expire(t.p, UPS_PENDING_TIMEOUT + 1.5), 1u);
	EXPECT_FALSE(ups_pending_take(t.p, early, &q));
	EXPECT_TRUE(ups_pending_take(t.p, late, &q));
	EXPECT_EQ(ups_pending_expire(t.p, 100.0), 0u);
	EXPECT_EQ(ups_pending_in_flight(t.p), 0u);
}

TEST(UpsPending, RepeatingSourceGivesUp)
{
	Table t(stuck);
	struct ups_query ev;
	sockaddr_in c = client(1);
	ASSERT_NE(ups_pending_add(t.p, 1, &c, 0.0, &ev), nullptr);
	EXPECT_EQ(ups_pending_add(t.p, 2, &c, 0.0, &ev), nullptr);
	EXPECT_EQ(ups_pending_in_flight(t.p), 1u);
}

} // namespace
