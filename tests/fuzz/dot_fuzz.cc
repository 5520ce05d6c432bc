/*
 * dot_fuzz.cc -- libFuzzer target: arbitrary bytes as what a DNS over TLS
 * server sends once the TLS layer has decrypted it: a stream of
 * length-prefixed messages, cut into pieces as reads would cut it, through
 * the TLS thread's answer path (dot_conn_take) and the channel into the
 * event loop's judgement (DNS_remote_tls). Every message is also padded as
 * a query would be, and the padded form must parse with its length.
 *
 * The first byte says where the stream is cut; every ID on the connection
 * has a query in flight, and each message that parses has its pending
 * query, so that the relay runs to the end.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <array>
#include <vector>

#include "common/qildnsc.h"
#include "dot/dot.h"
#include "dot/dot_conn.h"
#include "dot/dot_wire.h"
#include "forward/held.h"
#include "forward/pending.h"
#include "forward/relay.h"
#include "forward/sockets.h"
#include "fuzz_pending.h"
#include "fuzz_support.h"
#include "servers/servers.h"
#include "vdns.h"
#include "vdns_question.h"

namespace {

struct Harness {
	int chan[2] = {-1, -1};
	struct dot_conn *conn = nullptr;
	std::array<struct vtc_limit, DOT_LINES> lines;
};

Harness &
harness()
{
	static Harness h = [] {
		Harness n;
		qilfuzz::open_log();
		for (auto &l : n.lines)
			l = VTC_LIMIT_INIT("QILEC_010xx", VTCLOG_WARN);
		dnsc_conf.dns_servers = strdup("tls://127.0.0.1:853#dot.test");
		if (init_servers() != 0)
			abort();
		if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, n.chan) != 0)
			abort();
		sock_init();
		pending_init();
		held_init();
		struct sockaddr_in client;
		socks.local_fd = qilfuzz::udp_bound(&client);
		n.conn = dot_conn_new(0, nullptr, n.chan, n.lines.data());
		return n;
	}();
	return h;
}

/* Every wire ID of the connection has a query in flight, under the same
 * ID at its asker. */
void
arm(struct dot_conn *c)
{
	for (int i = 0; i < DOT_SLOTS; i++) {
		struct dot_slot *s = &c->slots[i];
		s->used = true;
		s->owner = 0;
		s->wire_id = s->ask_id = (uint16_t)i;
		s->deadline = 1e9;
	}
	c->inflight = DOT_SLOTS;
	dot_reader_init(&c->rd);
}

/* The message padded as a query: it parses, its length is the prefix's. */
void
expect_padding_sound(const uint8_t *msg, size_t len)
{
	static uint8_t out[2 + DOT_MSG_MAX];
	struct vdns_msg m;
	int n = dot_frame_query(msg, len, 0x1234, out, sizeof out);
	if (n < 0)
		return;
	size_t l = (size_t)(out[0] << 8 | out[1]);
	if (l + 2 != (size_t)n || VDNS_initparse(out + 2, l, &m) < 0 || m.id != 0x1234)
		abort();
}

void
take(void *priv, uint8_t *msg, size_t len)
{
	auto *c = static_cast<struct dot_conn *>(priv);
	expect_padding_sound(msg, len);
	fuzz_expect_answer(msg, len);
	dot_conn_take(c, msg, len, 1.0);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Harness &h = harness();
	if (size < 1)
		return 0;
	size_t cut = 1 + data[0] % 64;
	arm(h.conn);
	for (size_t at = 1; at < size; at += cut)
		dot_reader_feed(&h.conn->rd, data + at, std::min(cut, size - at), take, h.conn);

	static struct sock_batch batch;
	static bool ready = (sock_batch_init(&batch), true);
	(void)ready;
	struct odr_timeval now;
	held_now(&now);
	for (int round = 0; round < 8; round++) {
		int n = sock_recv(h.chan[1], REMOTE_BUFSIZE, &batch);
		if (n == 1 && batch.dg[0].n < 0)
			break;
		for (int i = 0; i < n; i++)
			DNS_remote_tls(&batch.dg[i], &now);
		sock_flush();
	}
	return 0;
}
