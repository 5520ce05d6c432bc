/*
 * dot.cc -- the TLS thread and its handle: the trust every connection
 * checks certificates against, a channel per asker, and a connection per
 * TLS server. One poll over the channels and the connections' sockets;
 * each turn takes the queries waiting on the channels, serves the ready
 * sockets and then the time-outs.
 *
 * The handle is made on the first thread at start-up and then belongs to
 * the TLS thread; the askers touch only their ends of the channels.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <vector>

#include <gnutls/gnutls.h>

#include "common/qildnsc.h"
#include "dot/dot.h"
#include "dot/dot_conn.h"
#include "servers/servers.h"
#include "vtc_log.h"

/* Channel datagrams taken from one channel in one turn. */
#define DOT_BATCH 64
/* The longest wait of a turn: the stop is seen within it. */
#define DOT_WAIT_MS 100
/* After a turn that took queries, the thread looks again without sleeping
 * for this long: a nearby server's answer is usually back within it, and
 * is taken without the cost of waking a sleeping thread. */
#define DOT_POLL_SECONDS 150e-6
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
}}, false};

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

/* The clock of the thread's time-outs, in seconds. */
static double
dot_now(void)
{
	struct timespec ts;
	AZ(clock_gettime(CLOCK_MONOTONIC, &ts));
	return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
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
	std::atomic_ref<bool>(dot_handle.stop).store(true);
}

/* The queries waiting on channel `owner`, each to its server. */
static void
dot_intake(struct dot *d, int owner, double now)
{
	uint8_t dg[DOT_CHANNEL_MAX];

	for (int i = 0; i < DOT_BATCH; i++) {
		ssize_t n = recv(d->chan[(size_t)owner], dg, sizeof dg, MSG_DONTWAIT);
		if (n < 0)
			return;
		if (n < DOT_HDR)
			continue;
		size_t server = (size_t)(dg[0] << 8 | dg[1]);
		if (server >= d->n_conns || d->conns[server] == NULL)
			continue;
		dot_conn_query(d->conns[server], owner, dg + DOT_HDR, (size_t)n - DOT_HDR, now);
	}
}

void *
dot_thread(void *arg)
{
	struct dot *d = &dot_handle;
	std::vector<struct pollfd> pfd;
	std::vector<struct dot_conn *> polled;

	double busy = 0;

	(void)arg;
	CHECK_OBJ_NOTNULL(d, DOT_MAGIC);
	while (!std::atomic_ref<bool>(d->stop).load()) {
		pfd.clear();
		polled.clear();
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
		int r = poll(pfd.data(), pfd.size(),
		    dot_now() - busy < DOT_POLL_SECONDS ? 0 : DOT_WAIT_MS);
		if (r < 0 && errno != EINTR) {
			vtc_log(vl, VTCLOG_ERROR, "QILEC_01037: poll(2) of DNS over TLS error: %d %s",
			    errno, strerror(errno));
			break;
		}
		double now = dot_now();
		for (size_t i = 0; i < polled.size(); i++)
			if (r > 0 && pfd[DOT_OWNERS + i].revents != 0)
				dot_conn_ready(polled[i], pfd[DOT_OWNERS + i].revents, now);
		for (int o = 0; o < DOT_OWNERS; o++) {
			if (r > 0 && pfd[(size_t)o].revents != 0) {
				dot_intake(d, o, now);
				busy = now;
			}
		}
		for (size_t i = 0; i < d->n_conns; i++)
			if (d->conns[i] != NULL)
				dot_conn_tick(d->conns[i], now);
		for (auto &lim : d->lines)
			vtc_limit_flush(&lim, vl, now);
	}
	return NULL;
}
