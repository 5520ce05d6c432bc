/*
 * intake_fuzz.cc -- libFuzzer target: arbitrary bytes as a client's
 * datagram, through the real intake (DNS_local, fed by the loop's batched
 * receive and send) on loopback sockets, to a
 * plain and an encrypted upstream server that are loopback sockets too.
 *
 * Whatever the bytes: the intake drops the datagram or forwards it; what
 * the plain server receives is the datagram itself with only its ID
 * changed, and what the encrypted server receives is a frame that opens
 * to the same.
 */
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "forward/edns.h"
#include "forward/held.h"
#include "forward/intake.h"
#include "forward/loop.h"
#include "forward/pending.h"
#include "qca_frame.h"
#include "servers/servers.h"
#include "forward/sockets.h"

namespace {

struct Harness {
	int client = -1, plain = -1, encrypted = -1;
	struct sockaddr_in local = {};
};

Harness &
harness()
{
	static Harness h = [] {
		Harness n;
		qilfuzz::open_log();
		struct sockaddr_in a, b;
		n.plain = qilfuzz::udp_bound(&a);
		n.encrypted = qilfuzz::udp_bound(&b);
		char list[128];
		snprintf(list, sizeof list, "127.0.0.1:%u,E127.0.0.1:%u", ntohs(a.sin_port),
		    ntohs(b.sin_port));
		dnsc_conf.dns_servers = strdup(list);
		if (init_servers() != 0)
			abort();
		sock_init();
		pending_init();
		held_init();
		socks.local_fd = qilfuzz::udp_bound(&n.local);
		socks.remote_fds[0] = qilfuzz::udp_bound(nullptr);
		socks.n_remote_fds = 1;
		n.client = qilfuzz::udp_bound(nullptr);
		return n;
	}();
	return h;
}

/* The next datagram waiting on `fd`, or -1 when none. */
ssize_t
take(int fd, uint8_t *buf, size_t cap)
{
	return recv(fd, buf, cap, MSG_DONTWAIT);
}

/* `got` is the client's datagram with another ID, and an EDNS size over
 * what the forwarder receives asked as that size. */
void
expect_same_query(const uint8_t *got, size_t len, const uint8_t *sent, size_t sentlen)
{
	static uint8_t want[SOCK_DGRAM_MAX + 1];
	struct vdns_msg msg;
	if (sentlen > sizeof want)
		abort();
	memcpy(want, sent, sentlen);
	if (VDNS_initparse(want, sentlen, &msg) == 0)
		(void)edns_client_max(&msg, want, SOCK_DGRAM_MAX);
	if (len != sentlen || len < 2 || memcmp(got + 2, want + 2, len - 2) != 0)
		abort();
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Harness &h = harness();
	/* Every length the listening socket takes, and one more. */
	if (size > SOCK_DGRAM_MAX + 1)
		return 0;
	if (sendto(h.client, data, size, 0, (const struct sockaddr *)&h.local, sizeof h.local) < 0)
		return 0;
	/* As the loop does: one batch from the listening socket, each
	 * datagram through the intake, then the queued queries out. */
	static struct sock_batch batch;
	static bool ready = (sock_batch_init(&batch), true);
	(void)ready;
	int got = sock_recv(socks.local_fd, LOCAL_BUFSIZE, &batch);
	struct odr_timeval now;
	held_now(&now);
	for (int i = 0; i < got; i++)
		DNS_local(&batch.dg[i], &now);
	sock_flush();

	/* Room for the longest datagram, so that a short read is never taken
	 * for a changed query. */
	uint8_t buf[SOCK_DGRAM_MAX + 64];
	ssize_t n = take(h.plain, buf, sizeof buf);
	if (n >= 0)
		expect_same_query(buf, (size_t)n, data, size);
	bool plain_got = n >= 0;
	n = take(h.encrypted, buf, sizeof buf);
	if (n >= 0) {
		size_t len;
		if (QCA_unframe(&upstreams.upstream_key, buf, (size_t)n, &len) != QCA_UNFRAME_OK)
			abort();
		expect_same_query(buf, len, data, size);
	}
	/* Both servers get every forwarded query, but for one too long to
	 * be framed, which only the plain server gets. */
	if (plain_got != (n >= 0) && !(plain_got && size > QCA_FRAME_MAXMSG))
		abort();
	/* Nothing more: one datagram in, at most one query per server out. */
	if (take(h.plain, buf, sizeof buf) >= 0 || take(h.encrypted, buf, sizeof buf) >= 0)
		abort();
	return 0;
}
