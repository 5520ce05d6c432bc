/*
 * serve.cc -- the loop of qildnsc-upstream and its two datagram handlers.
 *
 * Client side: a frame is checked and decrypted with the same framing code
 * as the forwarder's; what is inside must be a DNS query. It gets an
 * unpredictable ID of ours and goes to the resolver. Resolver side: an
 * answer is matched by that ID, given back the client's ID, framed and sent
 * to the client. Whatever arrives from the network is checked before use,
 * and every complaint about it is rate-limited. No allocation per datagram.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iterator>

#include "answer.h"
#include "odr_random.h"
#include "pending.h"
#include "qca_frame.h"
#include "serve.h"
#include "upstream.h"
#include "upstream_key.h"
#include "vdns.h"
#include "vdns_question.h"
#include "vtc_log.h"
#include "vtim.h"

static uint32_t
serve_draw(void)
{
	return ODR_random(vl);
}

static const char *
serve_addr_text(const struct sockaddr_in *sin, char *buf, size_t size)
{
	char a[INET_ADDRSTRLEN];

	AN(inet_ntop(AF_INET, &sin->sin_addr, a, sizeof a));
	(void)snprintf(buf, size, "%s:%u", a, (unsigned)ntohs(sin->sin_port));
	return buf;
}

/* "host[:port]" (port `dflt` when absent) into an IPv4 socket address. */
static int
serve_resolve(const char *text, const char *dflt, struct sockaddr_in *out)
{
	char host[256];
	const char *port = dflt;

	(void)snprintf(host, sizeof host, "%s", text);
	char *colon = strrchr(host, ':');
	if (colon != NULL) {
		*colon = '\0';
		port = colon + 1;
	}
	char *end;
	long n = strtol(port, &end, 10);
	if (*port == '\0' || *end != '\0' || n < 1 || n > 65535) {
		ups_fail("QILEC_00850: Bad port in %s (1 to 65535)", text);
		return -1;
	}
	struct addrinfo hints = {}, *res = NULL;
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	int r = getaddrinfo(host, port, &hints, &res);
	if (r != 0) {
		ups_fail("QILEC_00851: getaddrinfo(3) for %s error: %s", text, gai_strerror(r));
		return -1;
	}
	QIL_ASSERT(res->ai_addrlen == sizeof *out);
	memcpy(out, res->ai_addr, sizeof *out);
	freeaddrinfo(res);
	return 0;
}

static int
serve_sockets(struct ups_server *s, const struct ups_config *conf)
{
	char text[300];
	struct sockaddr_in la;

	(void)snprintf(text, sizeof text, "%s:%s", conf->listen_addr, conf->listen_port);
	if (serve_resolve(text, "10015", &la) != 0)
		return -1;
	s->listen_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	QIL_ASSERT(s->listen_fd >= 0);
	if (bind(s->listen_fd, reinterpret_cast<struct sockaddr *>(&la), sizeof la) != 0) {
		int e = errno;
		ups_fail("QILEC_00852: bind(2) for %s error: %d %s", text, e, strerror(e));
		return -1;
	}
	for (int &fd : s->resolver_fds) {
		fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
		QIL_ASSERT(fd >= 0);
		if (connect(fd, reinterpret_cast<struct sockaddr *>(&s->resolver),
		    sizeof s->resolver) != 0) {
			int e = errno;
			ups_fail("QILEC_00853: connect(2) to the resolver %s error: %d %s",
			    conf->resolver, e, strerror(e));
			return -1;
		}
	}
	return 0;
}

int
serve_open(struct ups_server *s, struct ups_config *conf)
{
	char buf[64];
	sigset_t set;

	*s = {};
	s->magic = UPS_SERVER_MAGIC;
	s->listen_fd = s->signal_fd = -1;
	for (int &fd : s->resolver_fds)
		fd = -1;
	s->lim = {
	    VTC_LIMIT_INIT("QILEC_00856", VTCLOG_ERROR),
	    VTC_LIMIT_INIT("QILEC_00857", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00858", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00859", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00860", VTCLOG_ERROR),
	    VTC_LIMIT_INIT("QILEC_00861", VTCLOG_ERROR),
	    VTC_LIMIT_INIT("QILEC_00862", VTCLOG_ERROR),
	    VTC_LIMIT_INIT("QILEC_00863", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00864", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00865", VTCLOG_WARN),
	    VTC_LIMIT_INIT("QILEC_00866", VTCLOG_ERROR),
	    VTC_LIMIT_INIT("QILEC_00886", VTCLOG_WARN),
	};
	upstream_key_init(&s->key);
	s->pending = ups_pending_new(serve_draw);

	if (conf->resolver == NULL) {
		if (ups_default_resolver(UPS_RESOLV_CONF, buf, sizeof buf) != 0) {
			ups_fail("QILEC_00854: No IPv4 nameserver in %s: name the resolver with -r",
			    UPS_RESOLV_CONF);
			return -1;
		}
		conf->resolver = strdup(buf);
		AN(conf->resolver);
	}
	if (serve_resolve(conf->resolver, "53", &s->resolver) != 0)
		return -1;
	if (serve_sockets(s, conf) != 0)
		return -1;

	/* Blocked, they stay pending for signal_fd even where a shell
	 * started us with SIGINT ignored. */
	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigaddset(&set, SIGTERM);
	AZ(sigprocmask(SIG_BLOCK, &set, NULL));
	s->signal_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
	if (s->signal_fd < 0) {
		int e = errno;
		ups_fail("QILEC_00855: signalfd(2) error: %d %s", e, strerror(e));
		return -1;
	}
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Listening on %s:%s, resolver %s",
	    conf->listen_addr, conf->listen_port,
	    serve_addr_text(&s->resolver, buf, sizeof buf));
	return 0;
}

/* One frame from a client: checked, unwrapped, and its query sent on. */
static void
serve_query(struct ups_server *s, uint8_t *buf, ssize_t n, const struct sockaddr_in *from)
{
	char a[64];
	size_t len;
	struct vdns_msg msg;
	struct vdns_question question;
	struct ups_query evicted;

	switch (QCA_unframe(&s->key, buf, (size_t)n, &len)) {
	case QCA_UNFRAME_OK:
		break;
	case QCA_UNFRAME_WRONG_LENGTH:
	case QCA_UNFRAME_TOO_LONG:
	case QCA_UNFRAME_SHORT:
		vtc_limit_log(&s->lim.frame, vl,
		    "QILEC_00857: Bad frame from %s: %zd bytes, length field %zu; dropped.",
		    serve_addr_text(from, a, sizeof a), n, len);
		return;
	}
	if (VDNS_initparse(buf, len, &msg) < 0 || (msg.flags & VDNS_QR) ||
	    VDNS_question_read(&msg, &question) < 0) {
		vtc_limit_log(&s->lim.query, vl,
		    "QILEC_00858: Not a DNS query from %s (%zu bytes); dropped.",
		    serve_addr_text(from, a, sizeof a), len);
		return;
	}
	struct ups_query *q = ups_pending_add(s->pending, msg.id, from, VTIM_mono(), &evicted);
	if (evicted.in_flight)
		vtc_limit_log(&s->lim.full, vl,
		    "QILEC_00859: %d queries in flight: the oldest, from %s, is dropped.",
		    UPS_PENDING_MAX, serve_addr_text(&evicted.client, a, sizeof a));
	if (q == NULL) {
		vtc_limit_log(&s->lim.no_id, vl,
		    "QILEC_00860: No free query ID after %d draws; query from %s dropped.",
		    UPS_ID_DRAWS, serve_addr_text(from, a, sizeof a));
		return;
	}
	q->question = question;
	q->sock = (uint8_t)(ODR_random(vl) % UPS_RESOLVER_SOCKETS);
	uint16_t wire_id = htons(q->id);
	memcpy(buf, &wire_id, sizeof wire_id);
	if (send(s->resolver_fds[q->sock], buf, len, 0) == -1) {
		int e = errno;
		struct ups_query gone;
		(void)ups_pending_take(s->pending, q->id, &gone);
		vtc_limit_log(&s->lim.resolver_send, vl,
		    "QILEC_00861: resolver: send(2) error: %d %s", e, strerror(e));
	}
}

static void
serve_clients(struct ups_server *s)
{
	uint8_t buf[QCA_FRAME_MAXSIZE];

	for (int i = 0; i < UPS_READS_PER_WAKEUP; i++) {
		struct sockaddr_in from;
		socklen_t fromlen = sizeof from;
		ssize_t n = ODR_recvfrom(s->listen_fd, buf, sizeof buf, 0,
		    reinterpret_cast<struct sockaddr *>(&from), &fromlen);
		if (n == -1) {
			int e = errno;
			if (e == EAGAIN || e == EINTR)
				return;
			if (e == EMSGSIZE && fromlen == sizeof from) {
				/* Too big for any frame: one more bad frame. */
				char a[64];
				vtc_limit_log(&s->lim.frame, vl,
				    "QILEC_00857: Bad frame from %s: more than %d bytes; dropped.",
				    serve_addr_text(&from, a, sizeof a), QCA_FRAME_MAXSIZE);
			} else if (!ODR_sockErrorIsReset(e))
				vtc_limit_log(&s->lim.client_recv, vl,
				    "QILEC_00856: client: recvfrom(2) error: %d %s", e,
				    strerror(e));
			continue;
		}
		if (fromlen != sizeof from || from.sin_family != AF_INET)
			continue;
		serve_query(s, buf, n, &from);
	}
}

/* True when the parsed answer `msg`, received on resolver socket `sock`,
 * answers `q`: the socket its query left from, and its question (or none,
 * for an error: a resolver refusing what it cannot read). */
static bool
serve_answers(const struct ups_query *q, int sock, struct vdns_msg *msg)
{
	struct vdns_question question;

	if (q->sock != sock || VDNS_question_read(msg, &question) < 0)
		return false;
	if (!question.present)
		return (msg->flags & VDNS_RCODE) != 0;
	return VDNS_question_equal(&q->question, &question);
}

/* One answer from resolver socket `sock`, back to its client. */
static void
serve_answer(struct ups_server *s, int sock, uint8_t *buf, ssize_t n)
{
	uint8_t frame[QCA_FRAME_MAXSIZE];
	size_t framelen;
	char a[64];
	struct ups_query q;
	struct vdns_msg msg;

	if (VDNS_initparse(buf, (size_t)n, &msg) < 0 || !(msg.flags & VDNS_QR)) {
		vtc_limit_log(&s->lim.answer, vl,
		    "QILEC_00863: resolver: not a DNS response (%zd bytes); dropped.", n);
		return;
	}
	const struct ups_query *found = ups_pending_find(s->pending, msg.id);
	if (found == NULL) {
		vtc_limit_log(&s->lim.unexpected, vl,
		    "QILEC_00864: Unexpected DNS response for ID %u (late, or not ours).",
		    (unsigned)msg.id);
		return;
	}
	/* A forger's guess stays a guess: the query waits for its answer. */
	if (!serve_answers(found, sock, &msg)) {
		vtc_limit_log(&s->lim.mismatch, vl,
		    "QILEC_00886: resolver: the response for ID %u does not answer its query; dropped.",
		    (unsigned)msg.id);
		return;
	}
	AN(ups_pending_take(s->pending, msg.id, &q));
	uint16_t wire_id = htons(q.orig_id);
	memcpy(buf, &wire_id, sizeof wire_id);
	switch (answer_frame(&s->key, buf, (size_t)n, frame, &framelen)) {
	case answer_result::FRAMED:
	case answer_result::TRUNCATED:
		break;
	case answer_result::TOO_LONG:
		vtc_limit_log(&s->lim.too_long, vl,
		    "QILEC_00865: Answer of %zd bytes for %s is too long for the frame (at most %d), even truncated; refused.",
		    n, serve_addr_text(&q.client, a, sizeof a), QCA_FRAME_MAXMSG);
		return;
	}
	if (sendto(s->listen_fd, frame, framelen, 0,
	    reinterpret_cast<const struct sockaddr *>(&q.client), sizeof q.client) == -1) {
		int e = errno;
		vtc_limit_log(&s->lim.client_send, vl,
		    "QILEC_00866: client: sendto(2) %s error: %d %s",
		    serve_addr_text(&q.client, a, sizeof a), e, strerror(e));
	}
}

static void
serve_resolver(struct ups_server *s, int sock)
{
	uint8_t *buf = s->answer_buf;

	for (int i = 0; i < UPS_READS_PER_WAKEUP; i++) {
		ssize_t n = ODR_recvfrom(s->resolver_fds[sock], buf, sizeof s->answer_buf, 0,
		    NULL, NULL);
		if (n == -1) {
			int e = errno;
			if (e == EAGAIN || e == EINTR)
				return;
			if (!ODR_sockErrorIsReset(e))
				vtc_limit_log(&s->lim.resolver_recv, vl,
				    "QILEC_00862: resolver: recv(2) error: %d %s", e, strerror(e));
			continue;
		}
		serve_answer(s, sock, buf, n);
	}
}

static void
serve_tick(struct ups_server *s)
{
	double now = VTIM_mono();
	struct vtc_limit *all[] = {&s->lim.client_recv, &s->lim.frame, &s->lim.query,
	    &s->lim.full, &s->lim.no_id, &s->lim.resolver_send, &s->lim.resolver_recv,
	    &s->lim.answer, &s->lim.unexpected, &s->lim.too_long, &s->lim.client_send,
	    &s->lim.mismatch};

	(void)ups_pending_expire(s->pending, now);
	for (auto *l : all)
		vtc_limit_flush(l, vl, now);
}

int
serve_run(struct ups_server *s)
{
	CHECK_OBJ_NOTNULL(s, UPS_SERVER_MAGIC);
	/* The clients, the exit signals, then each resolver socket. */
	struct pollfd fds[2 + UPS_RESOLVER_SOCKETS] = {
	    {s->listen_fd, POLLIN, 0},
	    {s->signal_fd, POLLIN, 0},
	};
	for (int i = 0; i < UPS_RESOLVER_SOCKETS; i++)
		fds[2 + i] = {s->resolver_fds[i], POLLIN, 0};
	for (;;) {
		if (poll(fds, std::size(fds), UPS_TICK_MSEC) == -1) {
			int e = errno;
			if (e == EINTR)
				continue;
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00867: poll(2) error: %d %s", e,
			    strerror(e));
			return 1;
		}
		if (fds[1].revents & POLLIN) {
			struct signalfd_siginfo si;
			if (read(s->signal_fd, &si, sizeof si) == (ssize_t)sizeof si) {
				vtc_log(vl, VTCLOG_INFO, "[INFO] Signal %u: exiting.", si.ssi_signo);
				return 0;
			}
		}
		for (int i = 0; i < UPS_RESOLVER_SOCKETS; i++)
			if (fds[2 + i].revents & POLLIN)
				serve_resolver(s, i);
		if (fds[0].revents & POLLIN)
			serve_clients(s);
		serve_tick(s);
	}
}

void
serve_close(struct ups_server *s)
{
	CHECK_OBJ_NOTNULL(s, UPS_SERVER_MAGIC);
	for (int *fd : {&s->listen_fd, &s->signal_fd})
		if (*fd >= 0)
			(void)close(*fd);
	for (int &fd : s->resolver_fds)
		if (fd >= 0)
			(void)close(fd);
	if (s->pending != NULL)
		ups_pending_delete(s->pending);
	s->magic = 0;
}
