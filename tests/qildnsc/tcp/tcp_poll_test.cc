/*
 * tcp_poll_test.cc -- the TCP thread's readiness set over loopback
 * sockets, on Linux and (cross-built, under Wine) on Windows: what is
 * handed back for which events, what a failed connect looks like, that a
 * closed socket leaves the set, that ready sockets beyond one wait's
 * room come with the next ones, and that what comes back is checked to be
 * a watch before anything is called through it.
 */
#include <chrono>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "odr.h"
#include "tcp/tcp_poll.h"
#include "tcp/tcp_sys.h"
#include "tcp/tcp_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

class TcpPollTest : public testing::Test {
protected:
	static void SetUpTestSuite() { (void)ODR_libinit(); }

	void SetUp() override
	{
		p_ = tcp_poll_new();
		ASSERT_NE(p_, nullptr);
		lfd_ = tcp_sys_socket(AF_INET);
		ASSERT_GE(lfd_, 0);
		struct sockaddr_in a = {};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t l = sizeof a;
		auto *sa = reinterpret_cast<struct sockaddr *>(&a);
		ASSERT_EQ(bind(lfd_, sa, l), 0);
		ASSERT_EQ(listen(lfd_, 8), 0);
		ASSERT_EQ(getsockname(lfd_, sa, &l), 0);
		addr_ = a;
	}
	void TearDown() override
	{
		for (int fd : open_)
			(void)ODR_closesocket(fd);
		if (lfd_ >= 0)
			(void)ODR_closesocket(lfd_);
		if (p_ != nullptr)
			tcp_poll_delete(p_);
	}

	/* A started connect to `a`, tracked for closing. */
	int connect_to(const struct sockaddr_in &a)
	{
		int fd = tcp_sys_socket(AF_INET);
		EXPECT_GE(fd, 0);
		int r = connect(fd, reinterpret_cast<const struct sockaddr *>(&a), sizeof a);
		EXPECT_TRUE(r == 0 || ODR_sockError() == ODR_EINPROGRESS);
		open_.push_back(fd);
		return fd;
	}
	/* An accepted connection: {client side, server side}. */
	std::pair<int, int> pair()
	{
		int c = connect_to(addr_);
		int s = -1;
		struct sockaddr_storage ss;
		for (auto end = Clock::now() + std::chrono::seconds(5); s < 0 && Clock::now() < end;)
			s = tcp_sys_accept(lfd_, &ss);
		EXPECT_GE(s, 0);
		open_.push_back(s);
		return {c, s};
	}
	/* The events of every pointer handed back within about `ms`. */
	std::vector<tcp_poll_event> wait_for(int ms, int max = 16)
	{
		std::vector<tcp_poll_event> ev(max), all;
		for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
			int n = tcp_poll_wait(p_, ev.data(), max, 50);
			EXPECT_GE(n, 0);
			all.insert(all.end(), ev.begin(), ev.begin() + std::max(n, 0));
			if (n > 0)
				break;
		}
		return all;
	}
	void forget(int fd) { std::erase(open_, fd); }

	struct tcp_poll *p_ = nullptr;
	int lfd_ = -1;
	struct sockaddr_in addr_ = {};
	std::vector<int> open_;
};

int tag[8]; /* the pointers handed to the set */

TEST_F(TcpPollTest, HandsBackWhatIsReady)
{
	auto [c, s] = pair();
	ASSERT_EQ(tcp_poll_add(p_, s, TCP_POLL_IN, &tag[0]), 0);
	EXPECT_TRUE(wait_for(200).empty()) << "nothing to read yet";

	ASSERT_EQ(ODR_send(c, "x", 1, ODR_MSG_NOSIGNAL), 1);
	auto ev = wait_for(5000);
	ASSERT_EQ(ev.size(), 1u);
	EXPECT_EQ(ev[0].ptr, &tag[0]);
	EXPECT_TRUE(ev[0].events & TCP_POLL_IN);

	tcp_poll_mod(p_, s, 0, &tag[0]);
	EXPECT_TRUE(wait_for(200).empty()) << "no interest, no error";
	tcp_poll_mod(p_, s, TCP_POLL_OUT, &tag[1]);
	ev = wait_for(5000);
	ASSERT_EQ(ev.size(), 1u);
	EXPECT_EQ(ev[0].ptr, &tag[1]);
	EXPECT_EQ(ev[0].events & (TCP_POLL_OUT | TCP_POLL_IN), TCP_POLL_OUT);
}

/* A refused connect comes back as an error, its cause in SO_ERROR. */
TEST_F(TcpPollTest, FailedConnectIsAnError)
{
	struct sockaddr_in closed = addr_;
	ASSERT_EQ(ODR_closesocket(lfd_), 0);
	lfd_ = -1;
	int fd = connect_to(closed);
	ASSERT_EQ(tcp_poll_add(p_, fd, TCP_POLL_OUT, &tag[0]), 0);
	auto ev = wait_for(10000);
	ASSERT_EQ(ev.size(), 1u);
	EXPECT_TRUE(ev[0].events & TCP_POLL_ERR);
	int err = 0;
	socklen_t l = sizeof err;
	ASSERT_EQ(ODR_getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l), 0);
	EXPECT_NE(err, 0);
}

/* Three readable sockets, room for one per wait: each comes in turn, and
 * a socket closed in between (the first added, whose place another takes)
 * is never handed back. */
TEST_F(TcpPollTest, ClosedSocketsLeaveAndEveryReadyOneComes)
{
	int s[3];
	for (int i = 0; i < 3; i++) {
		auto [c, sv] = pair();
		s[i] = sv;
		ASSERT_EQ(ODR_send(c, "x", 1, ODR_MSG_NOSIGNAL), 1);
		ASSERT_EQ(tcp_poll_add(p_, s[i], TCP_POLL_IN, &tag[i]), 0);
	}
	std::set<void *> seen;
	for (int i = 0; i < 20 && seen.size() < 3; i++)
		for (auto &e : wait_for(5000, 1))
			seen.insert(e.ptr);
	EXPECT_EQ(seen.size(), 3u);

	tcp_poll_close(p_, s[0]);
	forget(s[0]);
	tcp_poll_mod(p_, s[2], TCP_POLL_IN, &tag[5]);
	seen.clear();
	for (int i = 0; i < 10; i++)
		for (auto &e : wait_for(5000, 1))
			seen.insert(e.ptr);
	EXPECT_EQ(seen, (std::set<void *>{&tag[1], &tag[5]}));
}

/* A watch handed back gets its events, unless it was closed in the same
 * turn; a record laid out like a watch but not one stops the process
 * instead of being called through. */
TEST_F(TcpPollTest, HandedBackWatchesAreCheckedThenFired)
{
	struct Seen {
		int calls = 0;
		uint32_t events = 0;
	} seen;
	auto cb = [](void *priv, uint32_t events) {
		auto *sn = static_cast<Seen *>(priv);
		sn->calls++;
		sn->events = events;
	};
	auto [c, s] = pair();
	struct tcp_watch w;
	tcp_watch_init(&w, s, cb, &seen);
	ASSERT_EQ(tcp_poll_add(p_, s, TCP_POLL_IN, &w), 0);
	ASSERT_EQ(ODR_send(c, "x", 1, ODR_MSG_NOSIGNAL), 1);
	auto ev = wait_for(5000);
	ASSERT_EQ(ev.size(), 1u);
	tcp_watch_fire(ev[0].ptr, ev[0].events);
	EXPECT_EQ(seen.calls, 1);
	EXPECT_TRUE(seen.events & TCP_POLL_IN);

	w.fd = -1;
	tcp_watch_fire(ev[0].ptr, ev[0].events);
	EXPECT_EQ(seen.calls, 1) << "a closed watch ignores what was still queued";

	struct tcp_watch other = w;
	other.fd = s;
	other.magic ^= 1;
	EXPECT_DEATH(tcp_watch_fire(&other, TCP_POLL_IN), "");
}

} // namespace
