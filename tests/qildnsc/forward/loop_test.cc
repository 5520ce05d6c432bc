/*
 * loop_test.cc -- the event loop one turn at a time, over loopback sockets
 * that play the listening socket, the upstream socket, a client and an
 * upstream server: each turn serves at most a batch from each socket, so a
 * burst on one starves neither the other nor the held answers, which go
 * out first.
 */
#include <netinet/in.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns_client.h"
#include "dns_message.h"
#include "forward/intake.h"
#include "forward/pending.h"
#include "forward/loop.h"
#include "forward/held.h"
#include "forward/relay.h"
#include "servers/servers.h"
#include "unit_support.h"

namespace {

using namespace std::chrono_literals;
using qiltest::Datagram;
using qiltest::UdpSocket;
namespace dns = qiltest::dns;

class LoopTurn : public ::testing::Test {
protected:
	void SetUp() override
	{
		sock_init();
		pending_init();
		held_init();
		socks.local_fd = local_.fd();
		socks.remote_fds[0] = remote_.fd();
		socks.n_remote_fds = 1;
		ASSERT_EQ(init_servers(), 0) << log_.text();
		ASSERT_EQ(loop_open(&loop_, &socks.local_fd, 1, socks.remote_fds, 1, -1), 0) << log_.text();
		log_.clear();
	}

	void TearDown() override
	{
		loop_close(&loop_);
	}

	/* A pending query of the client's, and the two-record answer that
	 * the server sends for it to the upstream socket. */
	void answer_waiting(const std::string &name)
	{
		dns::Bytes q = dns::build_query(7, name, dns::TYPE_A);
		struct pending_query pq = {};
		pq.id = pending_new_id();
		pq.orig_id = 7;
		struct vdns_msg msg;
		ASSERT_EQ(VDNS_initparse(q.data(), q.size(), &msg), 0);
		ASSERT_EQ(VDNS_question_read(&msg, &pq.question), 0);
		sockaddr_in c = qiltest::make_sockaddr("127.0.0.1", client_.port());
		memcpy(&pq.client_addr, &c, sizeof c);
		pq.client_addrlen = sizeof c;
		add_pending(&pq);
		dns::Bytes a = dns::build_answer(dns::with_id(q, pq.id),
		    {dns::a_record("192.0.2.1"), dns::a_record("192.0.2.2")});
		ASSERT_TRUE(server_.send_to("127.0.0.1", remote_.port(), a));
	}

	qiltest::ForwarderLog log_;
	UdpSocket local_, remote_, server_, client_;
	qiltest::ConfString servers_{&dnsc_conf.dns_servers,
	                             "127.0.0.1:" + std::to_string(server_.port())};
	struct loop loop_;
};

TEST_F(LoopTurn, EachTurnServesABatchOfBothSocketsAfterTheDueHeldAnswers)
{
	const int waves = 3, burst = waves * SOCK_BATCH;

	/* Due for a second already, while both sockets are full. */
	struct odr_timeval past;
	held_now(&past);
	past.tv_sec -= 1;
	sockaddr_in c = qiltest::make_sockaddr("127.0.0.1", client_.port());
	struct sockaddr_storage client;
	memset(&client, 0, sizeof client);
	memcpy(&client, &c, sizeof c);
	const std::string held = "held answer";
	hold_answer_at(&past, pending_new_id(), reinterpret_cast<const uint8_t *>(held.data()),
	    (int32_t)held.size(), &client, sizeof c);

	for (int i = 0; i < burst; i++) {
		answer_waiting("answer" + std::to_string(i) + ".test");
		ASSERT_TRUE(client_.send_to("127.0.0.1", local_.port(),
		    dns::build_query((uint16_t)i, "query" + std::to_string(i) + ".test",
		        dns::TYPE_A)));
	}

	for (int turn = 0; turn < waves; turn++) {
		SCOPED_TRACE("turn " + std::to_string(turn));
		ASSERT_EQ(loop_turn(&loop_, 1000), 0);
		/* Client queries went upstream: poll for the answers, where
		 * the machine has cores to spare for it. */
		if (loop_.poll_usec > 0) {
			EXPECT_EQ(loop_wait_ms(&loop_), 0);
		}
		std::vector<Datagram> to_client = client_.collect(100ms, 2 * SOCK_BATCH);
		std::vector<Datagram> to_server = server_.collect(100ms, 2 * SOCK_BATCH);
		size_t first = turn == 0 ? 1 : 0;
		ASSERT_EQ(to_client.size(), first + SOCK_BATCH);
		ASSERT_EQ(to_server.size(), (size_t)SOCK_BATCH);
		if (turn == 0) {
			EXPECT_EQ(std::string(to_client[0].data.begin(), to_client[0].data.end()),
			    held);
		}
		/* In arrival order, each with its client's ID and question. */
		for (size_t j = 0; j < SOCK_BATCH; j++) {
			size_t n = turn * SOCK_BATCH + j;
			EXPECT_EQ(dns::first_question(to_client[first + j].data)->name,
			    "answer" + std::to_string(n) + ".test");
			EXPECT_EQ(dns::message_id(to_client[first + j].data), 7);
			EXPECT_EQ(dns::first_question(to_server[j].data)->name,
			    "query" + std::to_string(n) + ".test");
		}
	}
	/* Both drained: the next turn only waits, and the one after it sleeps
	 * without a time-out (nothing is held). */
	ASSERT_EQ(loop_turn(&loop_, 10), 0);
	EXPECT_EQ(loop_wait_ms(&loop_), -1);
	EXPECT_TRUE(client_.collect(50ms).empty());
	EXPECT_TRUE(server_.collect(10ms).empty());
	EXPECT_EQ(log_.text(), "");
}

} // namespace
