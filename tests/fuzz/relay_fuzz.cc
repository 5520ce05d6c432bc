/*
 * relay_fuzz.cc -- libFuzzer target: arbitrary bytes as an upstream
 * server's datagram, through the real answer path (DNS_remote and the
 * held-answer queue) on loopback sockets.
 *
 * The first byte chooses how the rest arrives: from the plain server, from
 * the encrypted server framed and encrypted as that server would (so the
 * fuzzer reaches the parser behind the cipher), from the encrypted server
 * raw (so it reaches the frame checks), or from an address that is no
 * server. A pending query matching the message is registered first, so
 * that the filter and the relay run too.
 */
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "forward/filter.h"
#include "filter/tables.h"
#include "fuzz_pending.h"
#include "fuzz_support.h"
#include "forward/intake.h"
#include "forward/pending.h"
#include "qca_frame.h"
#include "common/qildnsc.h"
#include "forward/held.h"
#include "forward/relay.h"
#include "servers/servers.h"
#include "forward/sockets.h"
#include "vtc_log.h"

namespace {

using qilfuzz::udp_bound;

struct Harness {
	int plain = -1, encrypted = -1, stranger = -1;
	struct sockaddr_in remote = {};
};

void
write_text(const char *path, const char *text)
{
	FILE *fp = fopen(path, "w");
	if (fp == nullptr || fputs(text, fp) < 0 || fclose(fp) != 0)
		abort();
}

Harness &
harness()
{
	static Harness h = [] {
		Harness n;
		vl = vtc_logopen("fuzz", nullptr);
		/* RELAY_FUZZ_LOG=1 shows the forwarder's log, to see a case. */
		vl->fp = getenv("RELAY_FUZZ_LOG") != nullptr ? stderr : fopen("/dev/null", "w");
		if (vl->fp == nullptr)
			abort();

		char dir[] = "/tmp/relay_fuzz.XXXXXX";
		if (mkdtemp(dir) == nullptr)
			abort();
		std::string bl = std::string(dir) + "/blocklist.txt";
		std::string cr = std::string(dir) + "/route.txt";
		write_text(bl.c_str(), "192.0.2.66\n203.0.113.5\n");
		write_text(cr.c_str(), "127.0.0.0/8\n10.0.0.0/8\n1.0.0.0/24\n");
		dnsc_conf.blacklist_path = strdup(bl.c_str());
		dnsc_conf.croute_path = strdup(cr.c_str());

		struct sockaddr_in a, b;
		n.plain = udp_bound(&a);
		n.encrypted = udp_bound(&b);
		n.stranger = udp_bound(nullptr);
		char list[128];
		snprintf(list, sizeof list, "127.0.0.1:%u,E127.0.0.1:%u", ntohs(a.sin_port),
		    ntohs(b.sin_port));
		dnsc_conf.dns_servers = strdup(list);
		if (load_blacklist() != 0 || load_croute() != 0 || init_servers() != 0)
			abort();

		struct sockaddr_in client;
		sock_init();
		pending_init();
		held_init();
		socks.local_fd = udp_bound(&client);
		socks.remote_fds[0] = udp_bound(&n.remote);
		socks.n_remote_fds = 1;
		(void)unlink(bl.c_str());
		(void)unlink(cr.c_str());
		(void)rmdir(dir);
		return n;
	}();
	return h;
}

/*
 * The forwarder's own message parser must judge every datagram as the C
 * library's resolver does: the same verdict, ID and counts, and the same
 * name, type, data and failures record by record.
 */
void
expect_parsers_agree(const uint8_t *msg, size_t len)
{
	struct vdns_msg v;
	ns_msg r;
	int vr = VDNS_initparse(msg, len, &v);
	if (vr != ns_initparse(msg, (int)len, &r))
		abort();
	if (vr != 0)
		return;
	if (v.id != ns_msg_id(r))
		abort();
	for (int s = 0; s < VDNS_S_MAX; s++) {
		if (v.counts[s] != ns_msg_count(r, (ns_sect)s))
			abort();
		for (int i = 0; i < v.counts[s]; i++) {
			struct vdns_rr vrr;
			ns_rr rrr;
			int a = VDNS_parserr(&v, s, i, &vrr);
			if (a != ns_parserr(&r, (ns_sect)s, i, &rrr))
				abort();
			if (a != 0)
				break;
			if (strcmp(vrr.name, rrr.name) != 0 || vrr.type != ns_rr_type(rrr) ||
			    vrr.rr_class != ns_rr_class(rrr) || vrr.rdata != ns_rr_rdata(rrr) ||
			    vrr.rdlength != ns_rr_rdlen(rrr) || vrr.ttl != ns_rr_ttl(rrr))
				abort();
		}
	}
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Harness &h = harness();
	if (size < 1 || size > 1024)
		return 0;
	uint8_t mode = data[0] % 4;
	const uint8_t *msg = data + 1;
	size_t len = size - 1;
	uint8_t frame[QCA_FRAME_MAXSIZE];
	int from = h.plain;
	const void *out = msg;
	size_t outlen = len;

	expect_parsers_agree(msg, len);
	switch (mode) {
	case 0:
		fuzz_expect_answer(msg, len);
		break;
	case 1: {
		int n = QCA_frame(&upstreams.upstream_key, msg, len, frame, sizeof frame);
		if (n < 0)
			return 0;
		fuzz_expect_answer(msg, len);
		from = h.encrypted;
		out = frame;
		outlen = (size_t)n;
		break;
	}
	case 2:
		from = h.encrypted;
		break;
	default:
		from = h.stranger;
		break;
	}
	if (sendto(from, out, outlen, 0, (const struct sockaddr *)&h.remote, sizeof h.remote) < 0)
		return 0;
	static struct sock_batch batch;
	static bool ready = (sock_batch_init(&batch), true);
	(void)ready;
	struct odr_timeval now;
	held_now(&now);
	int n = sock_recv(socks.remote_fds[0], REMOTE_BUFSIZE, &batch);
	for (int i = 0; i < n; i++)
		DNS_remote(&batch.dg[i], 0, &now);
	release_held_answers();
	return 0;
}
