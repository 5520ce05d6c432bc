/*
 * held_test.cc -- the held-answer queue: the hold delay, replacement of an
 * answer for the same ID (which goes to the back), overflow, failed sends,
 * and the time arithmetic it relies on.
 *
 * The queue is process-wide; every test starts by letting whatever an
 * earlier test left in it run out. Answers are released from a real UDP
 * socket on 127.0.0.1 (as socks.local_fd) to a receiving socket whose address
 * plays the client's.
 */
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dns_message.h"
#include "fd.h"
#include "unit_support.h"
#include "forward/sockets.h"
#include "odr.h"
#include "forward/held.h"
#include "forward/pending.h"
#include "forward/relay.h"

namespace {

using qiltest::Fd;
using LogCapture = qiltest::ForwarderLog;
using namespace std::chrono_literals;

/* ---- elapsed_seconds ---- */

struct ElapsedCase {
	const char *name;
	struct odr_timeval earlier;
	struct odr_timeval later;
	float want;
};

class Elapsed : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(Elapsed, Seconds)
{
	const ElapsedCase &c = GetParam();
	/* Single precision: within a microsecond of the exact difference. */
	EXPECT_NEAR(elapsed_seconds(&c.earlier, &c.later), c.want, 1e-6 + c.want * 1e-7);
}

const ElapsedCase kElapsedCases[] = {
	{"same", {100, 5}, {100, 5}, 0.0f},
	{"within_second", {10, 0}, {10, 250000}, 0.25f},
	{"across_second_boundary", {5, 900000}, {6, 100000}, 0.2f},
	{"one_microsecond_across", {1, 999999}, {2, 0}, 0.000001f},
	{"whole_seconds", {7, 123456}, {9, 123456}, 2.0f},
	{"several_seconds_and_borrow", {7, 800000}, {10, 300000}, 2.5f},
	{"large_seconds", {(int64_t)1 << 33, 999000}, {((int64_t)1 << 33) + 1, 1000}, 0.002f},
	{"difference_beyond_32_bits", {0, 0}, {(int64_t)1 << 32, 500000}, 4294967296.5f},
	{"backwards", {10, 500000}, {10, 0}, -0.5f},
};

INSTANTIATE_TEST_SUITE_P(Pairs, Elapsed, ::testing::ValuesIn(kElapsedCases),
                         qiltest::CaseName());

TEST(ElapsedHoldDelay, ExactlyTheDelayIsNotOverIt)
{
	struct odr_timeval a = {50, 0}, b = {50, 300000}, c = {50, 300001};
	struct odr_timeval d = {50, 800000}, e = {51, 100000}, f = {51, 100001};
	EXPECT_FALSE(elapsed_seconds(&a, &b) > HOLD_DELAY);
	EXPECT_TRUE(elapsed_seconds(&a, &c) > HOLD_DELAY);
	EXPECT_FALSE(elapsed_seconds(&d, &e) > HOLD_DELAY);
	EXPECT_TRUE(elapsed_seconds(&d, &f) > HOLD_DELAY);
}

/* ---- the queue ---- */

/* A UDP socket bound to 127.0.0.1 on a port of the kernel's choice. */
int
udp_loopback()
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd == -1)
		return -1;
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof sin);
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) == -1) {
		(void)close(fd);
		return -1;
	}
	return fd;
}

double
now()
{
	return std::chrono::duration<double>(
	    std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Arrival {
	std::string data;
	double after_release; /* when the release call that sent it returned */
};

class HeldQueue : public ::testing::Test {
protected:
	void SetUp() override
	{
		sender_ = std::make_unique<Fd>(udp_loopback());
		receiver_ = std::make_unique<Fd>(udp_loopback());
		ASSERT_GE(sender_->get(), 0) << strerror(errno);
		ASSERT_GE(receiver_->get(), 0) << strerror(errno);
		int rcvbuf = 1 << 20;
		(void)setsockopt(receiver_->get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
		ASSERT_EQ(fcntl(receiver_->get(), F_SETFL, O_NONBLOCK), 0);
		memset(&client_, 0, sizeof client_);
		socklen_t len = sizeof client_;
		ASSERT_EQ(getsockname(receiver_->get(), reinterpret_cast<struct sockaddr *>(&client_),
		                      &len), 0);
		client_len_ = (int32_t)len;
		/* Each test starts from empty sockets' queues, ring and pool. */
		sock_init();
		pending_init();
		held_init();
		socks.local_fd = sender_->get();
		log_.clear();
	}

	void hold(uint16_t id, const std::string &data)
	{
		hold_answer(id, reinterpret_cast<const uint8_t *>(data.data()), (int32_t)data.size(),
		            &client_, client_len_);
	}

	std::optional<std::string> receive()
	{
		char buf[600];
		ssize_t n = recv(receiver_->get(), buf, sizeof buf, 0);
		if (n < 0) {
			EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);
			return std::nullopt;
		}
		return std::string(buf, (size_t)n);
	}

	/* Calls release_held_answers() every few milliseconds until `want`
	 * answers have arrived or `limit` has passed. */
	std::vector<Arrival> release_until(size_t want, std::chrono::seconds limit)
	{
		std::vector<Arrival> got;
		auto deadline = std::chrono::steady_clock::now() + limit;
		while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
			release_held_answers();
			double t = now();
			while (auto d = receive())
				got.push_back(Arrival{*d, t});
			std::this_thread::sleep_for(5ms);
		}
		return got;
	}

	std::unique_ptr<Fd> sender_;
	std::unique_ptr<Fd> receiver_;
	struct sockaddr_storage client_;
	int32_t client_len_ = 0;
	LogCapture log_;
};

/* Tolerance for the microsecond time stamps of the queue. */
constexpr double kSlack = 0.001;

TEST_F(HeldQueue, ReleasedOnceTheDelayHasPassedAndNotBefore)
{
	double held_before = now();
	hold(101, "answer-101");
	double held_after = now();
	EXPECT_EQ(held_answers_count(), 1);

	auto deadline = std::chrono::steady_clock::now() + 3s;
	std::optional<Arrival> got;
	while (!got && std::chrono::steady_clock::now() < deadline) {
		double before = now();
		release_held_answers();
		double after = now();
		if (auto d = receive()) {
			got = Arrival{*d, after};
			/* Sent only when more than the delay had passed. */
			EXPECT_GT(after - held_before, HOLD_DELAY - kSlack);
		} else {
			/* Not sent although the delay had clearly passed. */
			ASSERT_LE(before - held_after, HOLD_DELAY + kSlack)
			    << "a due answer stayed in the queue";
		}
		std::this_thread::sleep_for(5ms);
	}
	ASSERT_TRUE(got);
	EXPECT_EQ(got->data, "answer-101");
	EXPECT_EQ(held_answers_count(), 0);

	release_held_answers();
	EXPECT_FALSE(receive()) << "sent twice";
	EXPECT_EQ(log_.text(), "");
}

TEST_F(HeldQueue, ReplacementGoesToTheBackAndRestartsTheWait)
{
	hold(201, "first-old");
	hold(202, "second");
	double replaced_before = now();
	hold(201, "first-new");
	EXPECT_EQ(held_answers_count(), 2);

	std::vector<Arrival> got = release_until(2, 3s);
	ASSERT_EQ(got.size(), 2u);
	/* The replacement waits at the back; "second" does not wait for it. */
	EXPECT_EQ(got[0].data, "second");
	EXPECT_EQ(got[1].data, "first-new");
	EXPECT_GT(got[1].after_release - replaced_before, HOLD_DELAY - kSlack);
	EXPECT_EQ(held_answers_count(), 0);
	EXPECT_FALSE(receive()) << "the replaced answer was sent too";
}

/* An upstream ID drawn again while an answer under it is still held (its
 * pending record overwritten meanwhile): another client's answer, not a
 * replacement. */
TEST_F(HeldQueue, SameIdForAnotherClientOrClientIdIsNoReplacement)
{
	Fd other(udp_loopback());
	ASSERT_GE(other.get(), 0) << strerror(errno);
	struct sockaddr_storage other_addr;
	memset(&other_addr, 0, sizeof other_addr);
	socklen_t other_len = sizeof other_addr;
	ASSERT_EQ(getsockname(other.get(), reinterpret_cast<struct sockaddr *>(&other_addr),
	                      &other_len), 0);

	hold(401, "A1-first");
	hold(401, "B1-same-client-other-id");
	const std::string c = "A1-other-client";
	hold_answer(401, reinterpret_cast<const uint8_t *>(c.data()), (int32_t)c.size(),
	            &other_addr, (int32_t)other_len);
	EXPECT_EQ(held_answers_count(), 3);

	std::vector<Arrival> got = release_until(2, 3s);
	ASSERT_EQ(got.size(), 2u);
	EXPECT_EQ(got[0].data, "A1-first");
	EXPECT_EQ(got[1].data, "B1-same-client-other-id");
	char buf[64];
	ssize_t n = recv(other.get(), buf, sizeof buf, MSG_DONTWAIT);
	ASSERT_GT(n, 0) << strerror(errno);
	EXPECT_EQ(std::string(buf, (size_t)n), c);
}

/*
 * A full queue, one answer refreshed in the middle, one more held: the
 * oldest goes unsent. All are stamped a second ago, so all are due at the
 * first release; only the answers that tell the order go to the client,
 * the rest to a socket nobody reads.
 */
TEST_F(HeldQueue, ReplacementInTheMiddleAndOverflowWhenFull)
{
	Fd sink(udp_loopback());
	ASSERT_GE(sink.get(), 0) << strerror(errno);
	struct sockaddr_storage sink_addr;
	memset(&sink_addr, 0, sizeof sink_addr);
	socklen_t sink_len = sizeof sink_addr;
	ASSERT_EQ(getsockname(sink.get(), reinterpret_cast<struct sockaddr *>(&sink_addr),
	                      &sink_len), 0);
	struct odr_timeval past;
	held_now(&past);
	past.tv_sec -= 1;
	const int full = HELD_ANSWERS_SLOTS;
	auto hold_past = [&](int i, const std::string &data, bool seen) {
		hold_answer_at(&past, (uint16_t)(1000 + i),
		    reinterpret_cast<const uint8_t *>(data.data()), (int32_t)data.size(),
		    seen ? &client_ : &sink_addr, seen ? client_len_ : (int32_t)sink_len);
	};

	for (int i = 0; i < full; i++)
		hold_past(i, "answer-" + std::to_string(i), i <= 1 || i == 50 || i == full - 1);
	EXPECT_EQ(held_answers_count(), full);
	hold_past(50, "answer-50-new", true);
	EXPECT_EQ(held_answers_count(), full);
	/* One more: the oldest goes, unsent. */
	hold_past(full, "answer-" + std::to_string(full), true);
	EXPECT_EQ(held_answers_count(), full);

	std::vector<Arrival> got = release_until(4, 3s);
	std::vector<std::string> order;
	for (const auto &a : got)
		order.push_back(a.data);
	EXPECT_EQ(order, (std::vector<std::string>{"answer-1", "answer-" + std::to_string(full - 1),
	                                            "answer-50-new",
	                                            "answer-" + std::to_string(full)}));
	EXPECT_EQ(held_answers_count(), 0);
	release_held_answers();
	EXPECT_FALSE(receive());
	EXPECT_EQ(log_.text(), "");
}

/* A later answer for the same query replaces the held one, empty or
 * NXDOMAIN too (the server's answer after a forged one), except that a
 * server's failure never replaces a real answer. */
TEST_F(HeldQueue, ARealAnswerReplacesTheHeldOneAFailureNever)
{
	namespace dns = qiltest::dns;
	const dns::Bytes q = dns::build_query(7, "r.test", dns::TYPE_A);
	auto with_rcode = [](dns::Bytes a, uint8_t rcode) {
		a[3] = (uint8_t)((a[3] & 0xf0) | rcode);
		return a;
	};
	const dns::Bytes one = dns::build_answer(q, {dns::a_record("192.0.2.20")});
	const dns::Bytes two = dns::build_answer(q, {dns::a_record("192.0.2.21")});
	const dns::Bytes empty = dns::build_answer(q, {});
	const dns::Bytes nxdomain = with_rcode(empty, 3);
	const dns::Bytes refused = with_rcode(empty, 5);
	const dns::Bytes servfail = with_rcode(empty, 2);
	const dns::Bytes formerr_bare = with_rcode(dns::Bytes(q.begin(), q.begin() + 12), 1);
	const dns::Bytes failed_with_records = with_rcode(two, 2);
	const struct {
		const char *name;
		const dns::Bytes &first, &second, &kept;
	} rows[] = {
	    {"refused_after_records", one, refused, one},
	    {"bare_formerr_after_records", one, formerr_bare, one},
	    {"error_with_records_after_records", one, failed_with_records, one},
	    {"refused_after_empty", empty, refused, empty},
	    {"servfail_after_nxdomain", nxdomain, servfail, nxdomain},
	    {"nxdomain_after_records", one, nxdomain, nxdomain},
	    {"empty_after_records", one, empty, empty},
	    {"records_after_records", one, two, two},
	    {"records_after_refused", refused, one, one},
	    {"records_after_bare_formerr", formerr_bare, one, one},
	    {"records_after_empty", empty, one, one},
	    {"servfail_after_refused", refused, servfail, servfail},
	};
	uint16_t id = 500;
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		/* Stamped a second ago: due at the first release. */
		struct odr_timeval past;
		held_now(&past);
		past.tv_sec -= 1;
		for (const dns::Bytes *a : {&r.first, &r.second})
			hold_answer_at(&past, id, a->data(), (int32_t)a->size(), &client_, client_len_);
		id++;
		EXPECT_EQ(held_answers_count(), 1);
		std::vector<Arrival> got = release_until(1, 3s);
		ASSERT_EQ(got.size(), 1u);
		EXPECT_EQ(got[0].data, std::string(r.kept.begin(), r.kept.end()));
	}
}

/* One query, one answer: a held answer whose query has been answered
 * meanwhile stays unsent; one whose ID the ring has given to another
 * client's query goes out, and leaves that query unanswered. */
TEST_F(HeldQueue, AHeldAnswerGoesOnlyToAClientWithoutOne)
{
	auto add = [&](uint16_t id, uint16_t client_id) {
		struct pending_query pq = {};
		pq.id = id;
		pq.orig_id = client_id;
		pq.client_addr = client_;
		pq.client_addrlen = client_len_;
		add_pending(&pq);
	};
	struct odr_timeval past;
	held_now(&past);
	past.tv_sec -= 1;
	const struct {
		const char *name;
		uint16_t client_id;  /* the held answer's */
		uint16_t pending_id; /* the client ID of the query under that ID now */
		bool answered_before;
		bool sent, answered_after;
	} rows[] = {
	    {"unanswered", 0x0101, 0x0101, false, true, true},
	    {"answered_meanwhile", 0x0202, 0x0202, true, false, true},
	    {"id_given_to_another_query", 0x0303, 0x0404, false, true, false},
	};
	uint16_t id = 700;
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		add(id, r.pending_id);
		if (r.answered_before) {
			ASSERT_TRUE(pending_first_answer(id));
		}
		const uint8_t data[] = {(uint8_t)(r.client_id >> 8), (uint8_t)r.client_id, 'a'};
		hold_answer_at(&past, id, data, (int32_t)sizeof data, &client_, client_len_);
		release_held_answers();
		EXPECT_EQ(held_answers_count(), 0);
		std::optional<std::string> got;
		for (int i = 0; i < 100 && !got && r.sent; i++) {
			std::this_thread::sleep_for(5ms);
			got = receive();
		}
		EXPECT_EQ(got.has_value(), r.sent);
		EXPECT_EQ(find_pending(id)->answered, r.answered_after);
		id++;
	}
	std::this_thread::sleep_for(50ms);
	EXPECT_FALSE(receive());
}

TEST_F(HeldQueue, TheLoopWaitsUntilTheOldestAnswerIsDue)
{
	struct odr_timeval t;
	held_now(&t);
	EXPECT_EQ(held_wait_ms(&t, 50), 50);
	EXPECT_EQ(held_wait_ms(&t, -1), -1) << "nothing held, no bound: no wake-up";
	struct { int64_t usec_later; int longest_ms; int want_ms; } cases[] = {
		{0, 1000, 301},            /* rounded up: never woken before it is due */
		{200000, 1000, 101},
		{299500, 1000, 1},
		{300000, 1000, 1},         /* not over the delay yet */
		{300001, 1000, 0},
		{5000000, 1000, 0},
		{0, 50, 50},               /* a shorter bound still bounds the wait */
		{0, -1, 301},              /* no bound: until it is due */
	};
	std::string data = "answer-due";
	hold_answer_at(&t, 4242, reinterpret_cast<const uint8_t *>(data.data()),
	    (int32_t)data.size(), &client_, client_len_);
	for (const auto &c : cases) {
		struct odr_timeval at = t;
		at.tv_sec += (c.usec_later + at.tv_usec) / 1000000;
		at.tv_usec = (int32_t)((c.usec_later + at.tv_usec) % 1000000);
		EXPECT_EQ(held_wait_ms(&at, c.longest_ms), c.want_ms) << c.usec_later;
	}
}

TEST_F(HeldQueue, FailedSendIsLoggedAndTheAnswerLeavesTheQueue)
{
	/* An address length the socket layer refuses. */
	hold_answer(301, reinterpret_cast<const uint8_t *>("x"), 1, &client_, 3);
	hold(302, "answer-302");
	EXPECT_EQ(held_answers_count(), 2);

	std::vector<Arrival> got = release_until(1, 3s);
	ASSERT_EQ(got.size(), 1u);
	EXPECT_EQ(got[0].data, "answer-302");
	EXPECT_EQ(held_answers_count(), 0);
	EXPECT_TRUE(log_.contains("[ERROR] QILEC_00697: sendto(2) error: " + std::to_string(EINVAL) +
	                          " "))
	    << log_.text();
}

/* The forwarding path's handles are made by their inits: used before, each
 * stops on its magic instead of serving from state nobody emptied. */
TEST(ForwardHandlesDeathTest, UseBeforeInitStopsOnTheMagic)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	const auto aborts = ::testing::KilledBySignal(SIGABRT);
	/* The reporter writes to standard output; the matcher reads errors. */
	EXPECT_EXIT({ (void)dup2(2, 1); (void)find_pending(1); }, aborts, "\\(&pending\\)->magic");
	EXPECT_EXIT({ (void)dup2(2, 1); (void)held_answers_count(); }, aborts, "\\(&held\\)->magic");
	EXPECT_EXIT({ (void)dup2(2, 1); sock_flush(); }, aborts, "\\(&socks\\)->magic");
}

} // namespace
