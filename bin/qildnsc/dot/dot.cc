/*
 * dot.cc -- the TLS thread and its handle: the trust every connection
 * checks certificates against, a channel per asker, and a connection per
 * TLS server. One poll over the channels and the connections' sockets;
 * each turn takes the queries waiting on the channels, serves the ready
 * sockets and then the time-outs. The poll's time-out is the next of the
 * connections' deadlines, so that an idle thread sleeps until a query
 * comes or dot_stop() wakes it.
 *
 * The handle is made on the first thread at start-up and then belongs to
 * the TLS thread; the askers touch only their ends of the channels.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <vector>

#include <gnutls/gnutls.h>

#include "common/qildnsc.h"
#include "dot/dot.h"
#include "dot/dot_conn.h"
#include "servers/servers.h"
#include "vtc_log.h"
#include "vtim.h"

/* Channel datagrams taken from one channel in one turn. */
#define DOT_BATCH 64
/* The longest wait while a rate-limited line may owe its summary. */
#define DOT_LIMIT_WAIT_MS 1000
/* Socket buffer of each channel end: a burst of queries fits in it. */
#define DOT_CHANNEL_BUF (1 << 20)

struct dot {
	unsigned magic;
#define DOT_MAGIC 0x5a2c93d1
	gnutls_certificate_credentials_t cred;
	std::array<int, DOT_OWNERS> chan;  /* the thread's ends */
	std::array<int, DOT_OWNERS> owner; /* the askers' ends */
	/* By server number (NULL when not TLS): made once, never freed, so
	 * that nothing the thread uses goes with the exit handlers. */
	struct dot_conn **conns;
	size_t n_conns;
	std::array<struct vtc_limit, DOT_LINES> lines;
	bool stop; /* std::atomic_ref: set by dot_stop() */
	int wake;  /* an eventfd: dot_stop() ends the thread's wait */
	/* The thread's: the datagrams of one channel's batch. */
	uint8_t in[DOT_BATCH][DOT_CHANNEL_MAX];
	std::array<struct mmsghdr, DOT_BATCH> in_hdr;
	std::array<struct iovec, DOT_BATCH> in_iov;
};

/* No channel until dot_init() makes them. */
static_assert(DOT_OWNERS == 2, "a -1 for each channel end below");
static struct dot dot_handle = {DOT_MAGIC, NULL, {{-1, -1}}, {{-1, -1}}, NULL, 0, {{
    VTC_LIMIT_INIT("QILEC_01027", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_01025", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_01032", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_01030", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_01023", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_01031", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_01029", VTCLOG_WARN),
    VTC_LIMIT_INIT("QILEC_01080", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_01081", VTCLOG_ERROR),
    VTC_LIMIT_INIT("QILEC_01082", VTCLOG_ERROR),
}}, false, -1, {}, {}, {}};

bool
dot_supported(const char **why)
{
	*why = NULL;
	return true;
}

const char *
dot_library(void)
{
	static char text[64];
	(void)snprintf(text, sizeof text, "GnuTLS %s", gnutls_check_version(NULL));
	return text;
}


/* The trust: the -T bundle, else the system's store; -1 (logged). */
static int
dot_trust(gnutls_certificate_credentials_t cred)
{
	if (dnsc_conf.tls_ca_path != NULL) {
		int n = gnutls_certificate_set_x509_trust_file(cred, dnsc_conf.tls_ca_path,
		    GNUTLS_X509_FMT_PEM);
		if (n <= 0) {
			vtc_log(vl, VTCLOG_ERROR,
			    "QILEC_01033: No CA certificate read from %s (-T): %s",
			    dnsc_conf.tls_ca_path, n < 0 ? gnutls_strerror(n) :
			    "no certificate in it");
			return -1;
		}
		return 0;
	}
	int n = gnutls_certificate_set_x509_system_trust(cred);
	if (n <= 0)
		vtc_log(vl, VTCLOG_WARN,
		    "[WARN] QILEC_01034: The system's trust store gave no CA certificate (%s): DNS over TLS servers will be refused; give a bundle with -T.",
		    n < 0 ? gnutls_strerror(n) : "empty");
	return 0;
}

/* The channel of `owner`: a pair of datagram sockets, both non-blocking. */
static int
dot_channel(int owner)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01035: socketpair(2) for DNS over TLS error: %d %s",
		    errno, strerror(errno));
		return -1;
	}
	int size = DOT_CHANNEL_BUF;
	for (int fd : sv) {
		(void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
		(void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	}
	dot_handle.chan[(size_t)owner] = sv[0];
	dot_handle.owner[(size_t)owner] = sv[1];
	return 0;
}

int
dot_init(bool check_only)
{
	struct dot *d = &dot_handle;

	CHECK_OBJ_NOTNULL(d, DOT_MAGIC);
	d->chan.fill(-1);
	d->owner.fill(-1);
	if (!servers_have_tls())
		return 0;
	if (gnutls_certificate_allocate_credentials(&d->cred) != GNUTLS_E_SUCCESS) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01036: No memory for the TLS credentials");
		return -1;
	}
	if (dot_trust(d->cred) != 0)
		return -1;
	if (check_only)
		return 0;
	for (int o = 0; o < DOT_OWNERS; o++)
		if (dot_channel(o) != 0)
			return -1;
	d->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	if (d->wake < 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01083: eventfd(2) for DNS over TLS error: %d %s",
		    errno, strerror(errno));
		return -1;
	}
	d->n_conns = (size_t)upstreams.n_upstream_servers;
	d->conns = static_cast<struct dot_conn **>(calloc(d->n_conns, sizeof *d->conns));
	AN(d->conns);
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++)
		if (upstreams.upstream_servers[i].flags & UPSTREAM_TLS)
			d->conns[(size_t)i] = dot_conn_new(i, d->cred, d->chan.data(),
			    d->lines.data());
	return 0;
}

int
dot_owner_fd(enum dot_owner owner)
{
	CHECK_OBJ_NOTNULL(&dot_handle, DOT_MAGIC);
	return dot_handle.owner[(size_t)owner];
}

void
dot_stop(void)
{
	uint64_t one = 1;
	std::atomic_ref<bool>(dot_handle.stop).store(true);
	if (dot_handle.wake >= 0) {
		/* A counter already set wakes it all the same. */
		ssize_t n = write(dot_handle.wake, &one, sizeof one);
		(void)n;
	}
}

/* The queries waiting on channel `owner`, each to its server. */
static void
dot_intake(struct dot *d, int owner, double now)
{
	/* One call for the batch: a second to learn that the channel is
	 * empty would cost as much as the first at a few queries a turn. */
	for (size_t i = 0; i < DOT_BATCH; i++) {
		d->in_iov[i] = {d->in[i], DOT_CHANNEL_MAX};
		d->in_hdr[i] = {};
		d->in_hdr[i].msg_hdr.msg_iov = &d->in_iov[i];
		d->in_hdr[i].msg_hdr.msg_iovlen = 1;
	}
	int got = recvmmsg(d->chan[(size_t)owner], d->in_hdr.data(), DOT_BATCH, MSG_DONTWAIT, NULL);
	for (int i = 0; i < got; i++) {
		const uint8_t *dg = d->in[i];
		size_t n = d->in_hdr[(size_t)i].msg_len;
		if (n < DOT_HDR)
			continue;
		size_t server = (size_t)(dg[0] << 8 | dg[1]);
		if (server >= d->n_conns || d->conns[server] == NULL)
			continue;
		dot_conn_query(d->conns[server], owner, dg + DOT_HDR, n - DOT_HDR, now);
	}
}

/* The poll's time-out at `now`: until the first deadline of the
 * connections, for ever without one. */
static int
dot_wait_ms(const struct dot *d, double now)
{
	double next = HUGE_VAL;
	for (size_t i = 0; i < d->n_conns; i++)
		if (d->conns[i] != NULL)
			next = std::min(next, dot_conn_deadline(d->conns[i]));
	int ms = -1;
	if (next != HUGE_VAL)
		ms = (int)std::clamp((next - now) * 1000.0 + 1.0, 0.0, 86400e3);
	if (vtc_limit_pending() && (ms < 0 || ms > DOT_LIMIT_WAIT_MS))
		ms = DOT_LIMIT_WAIT_MS;
	return ms;
}

void *
dot_thread(void *arg)
{
	struct dot *d = &dot_handle;
	std::vector<struct pollfd> pfd;
	std::vector<struct dot_conn *> polled;
	/* The wake, then the channels, then the connections. */
	const size_t first_conn = 1 + DOT_OWNERS;

	(void)arg;
	CHECK_OBJ_NOTNULL(d, DOT_MAGIC);
	while (!std::atomic_ref<bool>(d->stop).load()) {
		pfd.clear();
		polled.clear();
		pfd.push_back({d->wake, POLLIN, 0});
		for (int fd : d->chan)
			pfd.push_back({fd, POLLIN, 0});
		for (size_t i = 0; i < d->n_conns; i++) {
			struct dot_conn *c = d->conns[i];
			short ev = c != NULL ? dot_conn_events(c) : 0;
			if (ev == 0)
				continue;
			pfd.push_back({c->fd, ev, 0});
			polled.push_back(c);
		}
		int r = poll(pfd.data(), pfd.size(), dot_wait_ms(d, VTIM_mono()));
		if (r < 0 && errno != EINTR) {
			vtc_log(vl, VTCLOG_ERROR, "QILEC_01037: poll(2) of DNS over TLS error: %d %s",
			    errno, strerror(errno));
			break;
		}
		double now = VTIM_mono();
		for (size_t i = 0; i < polled.size(); i++)
			if (r > 0 && pfd[first_conn + i].revents != 0)
				dot_conn_ready(polled[i], pfd[first_conn + i].revents, now);
		for (int o = 0; o < DOT_OWNERS; o++)
			if (r > 0 && pfd[1 + (size_t)o].revents != 0)
				dot_intake(d, o, now);
		for (size_t i = 0; i < d->n_conns; i++)
			if (d->conns[i] != NULL)
				dot_conn_tick(d->conns[i], now);
		for (auto &lim : d->lines)
			vtc_limit_flush(&lim, vl, now);
	}
	return NULL;
}
