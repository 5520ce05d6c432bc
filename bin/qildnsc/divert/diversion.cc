/*
 * diversion.cc -- the diversion thread and its netfilter rules.
 *
 * The thread owns the queue handle, the packet buffers and the remembered
 * pairs; it reaches the event loop only through the packets it rewrites.
 * The first thread makes the state (start_diversion()) and, at "Exit",
 * removes the rules the thread installed (stop_diversion()).
 * The rules are divert_rules.cc's.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

#include "divert/divert_inject.h"
#include "divert/divert_rewrite.h"
#include "divert/divert_rules.h"
#include "divert/diversion.h"
#include "common/qildnsc.h"
#include "common/exit_signals.h"
#include "common/stats.h"
#include "record/record_divert.h"
#include "vtc_limit.h"
#include "vtc_log.h"


/* What the thread reports to start_diversion(): still setting up, ready,
 * or failed (the queue or the rules could not be set up). */
enum { DIVERT_SETTING_UP, DIVERT_READY, DIVERT_FAILED };

/* Packets the kernel queues for us at most; beyond, it drops them (the
 * client asks again). A burst of a thousand queries and their replies
 * fits. */
#define DIVERT_QUEUE_MAXLEN 4096
/* The buffers of the queue's socket and of the listening sockets' sends:
 * a queued DNS packet and its message take well under 2 KiB of either, so
 * that a whole queue fits. */
#define DIVERT_BUFSIZE (DIVERT_QUEUE_MAXLEN * 2048)
/* Packets read per wake-up. */
#define DIVERT_READ_BATCH 32
/* Room for one netlink message: a whole packet and its attributes. */
#define DIVERT_MSG_MAX (0x10000 + 4096)

/* The state of diversion, made once on the first thread (divert_handle())
 * and never freed: the process may end while the thread still reads its
 * queue. The thread owns all of it but `guard_fd` and `guard`; the first
 * thread reads `state` while it waits, and `rules` at "Exit". */
struct diversion {
	unsigned magic;
#define DIVERSION_MAGIC 0xea05abb0
	/* The name this namespace's one diversion holds (divert_guard_take()),
	 * open for the process's life; -1 until taken, or when there is no
	 * such name to be had here. */
	int guard_fd;
	/* What divert_guard() found; asked once. */
	enum { GUARD_UNASKED, GUARD_HELD, GUARD_REFUSED, GUARD_NONE } guard;
	/* False when there is no listening socket on [::1] to divert IPv6
	 * queries to (divert_without_ipv6()); written before the thread
	 * starts. */
	bool ipv6;
	/* False when there is no TCP listener on [::1] (divert_without_tcp6()). */
	bool tcp6;
	/* A mark refused once is refused for every socket: said once. */
	bool mark_warned;
	struct divert_rules rules;
	struct divert_inject inject;
	std::atomic<int> state;
	divert_pairs pairs;
	divert_pairs6 pairs6;
	divert_pairs6 tcp_pairs6; /* connections to link-local servers */
	/* One read's messages: DIVERT_READ_BATCH buffers of DIVERT_MSG_MAX,
	 * made by the thread and left unzeroed (a page is touched once a
	 * packet fills it). */
	char *bufs;
	/* The last packet of a read passed unchanged, whose verdict is owed:
	 * one verdict for them all once the read's lot is through. */
	uint32_t accept_to;
	bool accept_owed;
};

/* The one diversion, for the thread (started without an argument) and for
 * stop_diversion(). */
static struct diversion *divert_current;

/* The diversion, made on first use; called on the first thread during
 * start-up alone, before the diversion thread exists. */
static struct diversion *
divert_handle(void)
{
	if (divert_current == NULL) {
		divert_current = new struct diversion();
		divert_current->magic = DIVERSION_MAGIC;
		divert_current->guard_fd = -1;
		divert_current->guard = diversion::GUARD_UNASKED;
		divert_current->ipv6 = true;
		divert_current->tcp6 = true;
		divert_rules_init(&divert_current->rules);
		divert_current->state = DIVERT_SETTING_UP;
	}
	CHECK_OBJ_NOTNULL(divert_current, DIVERSION_MAGIC);
	return divert_current;
}

/*
 * One diversion at a time per network namespace: a second one would share
 * the listening port (SO_REUSEADDR, below) and take the queries from the
 * first until its own start-up failed. What is guarded (the port, the
 * queue, the rules) belongs to the network namespace, and so does an
 * abstract socket name: the guard covers every qildnsc there, whichever
 * user or directory it runs from (a lock file in the working directory
 * would not see a run from another directory, and /run is not writable by
 * the service's own user), leaves no file behind, and goes with the process
 * however it ends.
 */
#define DIVERT_GUARD_NAME "qildnsc-diversion"

/* Takes the guard: 0; -1 (logged) when another qildnsc holds it; 1
 * (logged) when there is no abstract socket to be had here. */
static int
divert_guard_take(struct diversion *d)
{
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	/* sun_path[0] stays 0: a name in the abstract namespace. */
	memcpy(sun.sun_path + 1, DIVERT_GUARD_NAME, strlen(DIVERT_GUARD_NAME));
	socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 +
	    strlen(DIVERT_GUARD_NAME));

	QIL_ASSERT(d->guard_fd == -1);
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd != -1 && bind(fd, reinterpret_cast<struct sockaddr *>(&sun), len) == 0) {
		d->guard_fd = fd;
		return 0;
	}
	int e = errno;
	if (fd != -1)
		(void)close(fd);
	if (e == EADDRINUSE) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00930: Another qildnsc diverts DNS here already (it holds @%s); "
		    "this one does not start.", DIVERT_GUARD_NAME);
		return -1;
	}
	vtc_log(vl, VTCLOG_WARN, "QILEC_00931: socket(2) or bind(2) for @%s error: %d %s; "
	    "port %d is not shared with a multicast DNS responder.", DIVERT_GUARD_NAME, e,
	    strerror(e), DIVERT_LISTEN_PORT);
	return 1;
}


/* Gives `fd` a buffer (`opt`: SO_RCVBUF or SO_SNDBUF) of DIVERT_BUFSIZE
 * bytes, beyond the system's limit with the capability to (`force`): the
 * size it has, at most DIVERT_BUFSIZE; -1 when it cannot be told. */
static int
divert_buffer(int fd, int force, int opt)
{
	int size = DIVERT_BUFSIZE;
	socklen_t len = sizeof size;

	if (setsockopt(fd, SOL_SOCKET, force, &size, sizeof size) != 0)
		(void)setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size);
	/* The kernel reports twice what it was given. */
	if (getsockopt(fd, SOL_SOCKET, opt, &size, &len) != 0)
		return -1;
	return size / 2 < DIVERT_BUFSIZE ? size / 2 : DIVERT_BUFSIZE;
}

/* Marks the packets of `fd` for the rules; a failure is logged, once (it
 * takes CAP_NET_ADMIN, without which the queue cannot be had either). */
static void
divert_mark(int fd, int mark)
{
	struct diversion *d = divert_handle();
	if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0 && !d->mark_warned) {
		d->mark_warned = true;
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_WARN, "[WARN] setsockopt(2) SO_MARK error: %d %s", e,
		    ODR_sockErrorText());
	}
}

void
divert_exempt_socket(int fd)
{
	divert_mark(fd, QILDNSC_UPSTREAM_MARK);
}

int
divert_guard(void)
{
	struct diversion *d = divert_handle();
	if (d->guard == diversion::GUARD_UNASKED) {
		int r = divert_guard_take(d);
		d->guard = r == 0 ? diversion::GUARD_HELD :
		    r == -1 ? diversion::GUARD_REFUSED : diversion::GUARD_NONE;
	}
	return d->guard == diversion::GUARD_REFUSED ? -1 : 0;
}

int
divert_share_listener(int fd)
{
	struct diversion *d = divert_handle();
	/* Taken already at start-up, before the log was touched. */
	if (divert_guard() != 0)
		return -1;
	/* The queue takes the replies of this socket alone: another program
	 * may bind its port beside it, but cannot mark its packets, so what
	 * it sends is never made to look like a DNS server's reply. */
	divert_mark(fd, DIVERT_LISTEN_MARK);
	/* Its replies wait in the queue charged to its send buffer: a burst's
	 * would be refused (EAGAIN) beyond the system's default. */
	int size = divert_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF);
	if (size < DIVERT_BUFSIZE)
		vtc_log(vl, VTCLOG_WARN, "QILEC_01065: The listening socket's send buffer is %d "
		    "bytes, not %d (net.core.wmem_max): the replies of a burst may be dropped.",
		    size, DIVERT_BUFSIZE);
	/* Unguarded, the port stays ours alone, as with -w. */
	if (d->guard != diversion::GUARD_HELD)
		return 0;
	/* A multicast DNS responder binds 0.0.0.0:5353 with SO_REUSEADDR;
	 * with it on both sockets each binds beside the other, and a datagram
	 * to 127.0.0.1:5353 still comes to the socket bound to that address. */
	int on = 1;
	AZ(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
	return 0;
}

bool
divert_takes_ipv6(void)
{
	return true;
}

void
divert_without_ipv6(void)
{
	divert_handle()->ipv6 = false;
}

void
divert_without_tcp6(void)
{
	divert_handle()->tcp6 = false;
}

/* Tells the record (-u) whose query this is: its packet's owner, by the
 * application's port, for the query page. */
static void
divert_note_owner(struct nfq_data *nfa, const unsigned char *pkt, int len)
{
	uint32_t uid, gid;

	if (dnsc_conf.page_port == 0)
		return;
	int port = divert_src_port(pkt, (size_t)len);
	if (port < 0)
		return;
	record_divert_note((pkt[0] >> 4) == 6 ? AF_INET6 : AF_INET, (uint16_t)port,
	    nfq_get_uid(nfa, &uid) ? (int32_t)uid : -1, nfq_get_gid(nfa, &gid) ? (int32_t)gid : -1);
}

/*
 * A rewritten packet, its checksums made right, sent by us: a `query`, or a
 * reply to a link-local client (its interface `scope`). True when it left
 * so; false when it is to be handed back to the queue, as every other
 * reply is. Handed back, a query would keep its socket's interface and a
 * reply to a link-local client would lose it (divert_inject.h); what we
 * cannot send ourselves is still handed back.
 */
static bool
divert_send_rewritten(struct diversion *d, uint8_t *pkt, size_t len, bool query,
                      uint32_t scope)
{
	if (divert_checksums(pkt, len) != 0)
		vtc_log(vl, VTCLOG_WARN, "Failed to calculate the checksum (%d)", EINVAL);
	if (!query && scope == 0)
		return false;
	if (divert_inject_send(&d->inject, pkt, len, scope))
		return true;
	if (d->inject.fd4 != -1) {
		int e = errno;
		VTC_LOG_LIMITED(vl, VTCLOG_WARN, "QILEC_01071: raw sendto(2) error",
		    "QILEC_01071: raw sendto(2) error: %d %s; the packet goes its own way.", e,
		    strerror(e));
	}
	return false;
}

/* The rule of the packet's family and protocol, applied to `pkt` (`len`
 * bytes; -1 when the queue gave none): one queue for both families, the
 * version decides. A query's interface is `outdev`; a reply to a
 * link-local client gets it back in `*scope`. */
static enum divert_result
divert_rewrite_any(struct diversion *d, uint8_t *pkt, int len, bool outbound, uint32_t outdev,
                   uint32_t *scope)
{
	if (len >= 40 && (pkt[0] >> 4) == 6 && pkt[6] == IPPROTO_TCP)
		return divert_rewrite6_tcp(pkt, (size_t)len, outbound, d->tcp_pairs6, outdev, scope);
	if (len > 0 && (pkt[0] >> 4) == 6)
		return divert_rewrite6(pkt, (size_t)len, outbound, d->pairs6, outdev, scope);
	if (len > 0)
		return divert_rewrite(pkt, (size_t)len, outbound, d->pairs);
	return DIVERT_MALFORMED;
}

/* The netfilter queue's callback: one queued packet, rewritten or not,
 * and its verdict; a packet passed unchanged waits for the verdict of its
 * lot (divert_read()). */
static int
divert_queue_packet(struct nfq_q_handle *qh, struct nfgenmsg *, struct nfq_data *nfa,
                    void *data)
{
	struct diversion *d;

	CAST_OBJ_NOTNULL(d, data, DIVERSION_MAGIC);
	struct nfqnl_msg_packet_hdr *ph = nfq_get_msg_packet_hdr(nfa);
	if (ph == NULL)
		return 0;
	uint32_t id = ntohl(ph->packet_id);
	stats_add(STATS_DIVERTED, 1);
	bool outbound = ph->hook == NF_INET_LOCAL_OUT || ph->hook == NF_INET_POST_ROUTING;
	unsigned char *pkt = NULL;
	int len = nfq_get_payload(nfa, &pkt);
	uint32_t verdict = NF_ACCEPT;
	bool changed = false;

	uint32_t scope = 0;
	enum divert_result r = divert_rewrite_any(d, pkt, len, outbound, nfq_get_outdev(nfa),
	    &scope);
	switch (r) {
	case DIVERT_MALFORMED:
		verdict = NF_DROP;
		break;
	case DIVERT_NO_PAIR:
		/* The forwarder's answer to a client that asked it directly on
		 * 127.0.0.1 port 5353, not through diversion. */
		VTC_LOG_LIMITED(vl, VTCLOG_WARN, "[WARN] Reply without a diverted query",
		    "[WARN] Reply to port %d without a diverted query; passed unchanged.",
		    divert_dst_port(pkt, (size_t)len));
		break;
	case DIVERT_QUERY:
		divert_note_owner(nfa, pkt, len);
		[[fallthrough]];
	case DIVERT_REPLY:
		changed = !divert_send_rewritten(d, pkt, (size_t)len, r == DIVERT_QUERY, scope);
		if (!changed)
			verdict = NF_DROP;
		break;
	case DIVERT_UNTOUCHED:
		break;
	default:
		WRONG("divert_result");
	}
	if (verdict == NF_ACCEPT && !changed) {
		d->accept_to = id;
		d->accept_owed = true;
		return 0;
	}
	if (nfq_set_verdict(qh, id, verdict, changed ? (uint32_t)len : 0,
	    changed ? pkt : NULL) < 0)
		VTC_LOG_LIMITED(vl, VTCLOG_WARN, "Failed to reinject packet",
		    "Failed to reinject packet (%d)", errno);
	return 0;
}

static void
divert_report(struct diversion *d, int state)
{
	d->state = state;
	d->state.notify_all();
}

static void *
divert_fail(struct diversion *d, struct nfq_handle *h, struct nfq_q_handle *qh, int code)
{
	vtc_log(vl, VTCLOG_ERROR, "Failed to open the WinDivert device (%d)", code);
	if (qh != NULL)
		(void)nfq_destroy_queue(qh);
	if (h != NULL)
		(void)nfq_close(h);
	divert_report(d, DIVERT_FAILED);
	return NULL;
}

/* Sizes the queue's socket for a burst: a buffer for the whole queue
 * (beyond the system's limit where we may), and no ENOBUFS on our reads
 * when it overflows anyway: the kernel then drops what it cannot queue,
 * and the read has nothing to report. */
static void
divert_size_socket(int fd)
{
	int on = 1;
	int size = divert_buffer(fd, SO_RCVBUFFORCE, SO_RCVBUF);
	if (size < DIVERT_BUFSIZE)
		vtc_log(vl, VTCLOG_WARN, "QILEC_01061: The queue's socket buffer is %d bytes, not "
		    "%d (net.core.rmem_max): a burst of queries may be dropped.", size,
		    DIVERT_BUFSIZE);
	if (setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on) != 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_01062: setsockopt(2) NETLINK_NO_ENOBUFS error: %d %s",
		    errno, strerror(errno));
}

/*
 * Sets the queue up for bursts. It fails closed: while we hold it, a packet
 * it cannot take is dropped and its client asks again, for one passed
 * unjudged would reach a server we never asked. When nobody holds it (the
 * forwarder gone), the rules' --queue-bypass lets DNS pass. With the query
 * page, each packet comes with its owner's UID and GID.
 */
static int
divert_queue_setup(struct nfq_q_handle *qh)
{
	if (nfq_set_mode(qh, NFQNL_COPY_PACKET, 0xffff) < 0)
		return -1;
	if (nfq_set_queue_maxlen(qh, DIVERT_QUEUE_MAXLEN) < 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_01063: The queue cannot be made %d packets long "
		    "(%d); a burst of queries may be dropped.", DIVERT_QUEUE_MAXLEN, errno);
	/* A queue is made failing closed: only the owners are asked for. */
	if (dnsc_conf.page_port != 0 &&
	    nfq_set_queue_flags(qh, NFQA_CFG_F_UID_GID, NFQA_CFG_F_UID_GID) < 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_01064: The queue gives no owner of its packets (%d); "
		    "the query page names diverted queries' users from the socket tables alone.",
		    errno);
	return 0;
}

/* Reads up to DIVERT_READ_BATCH messages (waiting for the first) and
 * judges their packets; then the one verdict owed for those passed
 * unchanged. */
static void
divert_read(struct diversion *d, struct nfq_handle *h, struct nfq_q_handle *qh)
{
	std::array<struct mmsghdr, DIVERT_READ_BATCH> msgs = {};
	std::array<struct iovec, DIVERT_READ_BATCH> iov;
	int fd = nfq_fd(h);

	for (size_t i = 0; i < msgs.size(); i++) {
		iov[i] = {d->bufs + i * DIVERT_MSG_MAX, DIVERT_MSG_MAX};
		msgs[i].msg_hdr.msg_iov = &iov[i];
		msgs[i].msg_hdr.msg_iovlen = 1;
	}
	int n = recvmmsg(fd, msgs.data(), (unsigned)msgs.size(), MSG_WAITFORONE, NULL);
	if (n < 0) {
		int e = errno;
		if (e == EINTR)
			return;
		VTC_LOG_LIMITED(vl, VTCLOG_WARN, "Failed to read packet",
		    "Failed to read packet (%d)", e);
		if (e != ENOBUFS)
			(void)poll(NULL, 0, 100); /* no busy loop on a lasting error */
		return;
	}
	for (int i = 0; i < n; i++)
		(void)nfq_handle_packet(h, static_cast<char *>(iov[(size_t)i].iov_base),
		    (int)msgs[(size_t)i].msg_len);
	if (d->accept_owed && nfq_set_verdict_batch(qh, d->accept_to, NF_ACCEPT) < 0)
		VTC_LOG_LIMITED(vl, VTCLOG_WARN, "Failed to reinject packet",
		    "Failed to reinject packet (%d)", errno);
	d->accept_owed = false;
}

void *
diversion_thread(void *arg)
{
	(void)arg;
	struct diversion *d = divert_current;
	CHECK_OBJ_NOTNULL(d, DIVERSION_MAGIC);
	struct nfq_handle *h = nfq_open();
	if (h == NULL)
		return divert_fail(d, NULL, NULL, errno);
	/* The library opens its netlink socket without close-on-exec; the
	 * iptables children must not inherit it. */
	(void)fcntl(nfq_fd(h), F_SETFD, FD_CLOEXEC);
	divert_size_socket(nfq_fd(h));
	struct nfq_q_handle *qh = nfq_create_queue(h, DIVERT_QUEUE_NUM, divert_queue_packet, d);
	if (qh == NULL)
		return divert_fail(d, h, NULL, errno);
	if (divert_queue_setup(qh) != 0)
		return divert_fail(d, h, qh, errno);
	divert_inject_open(&d->inject);
	d->bufs = new char[DIVERT_READ_BATCH * DIVERT_MSG_MAX];
	int r = divert_rules_install(&d->rules, d->ipv6, d->tcp6);
	if (r != 0)
		return divert_fail(d, h, qh, r);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Diverting DNS packets through queue %d.",
	    DIVERT_QUEUE_NUM);
	divert_report(d, DIVERT_READY);
	for (;;)
		divert_read(d, h, qh);
	return NULL;
}

int
start_diversion(void)
{
	struct diversion *d = divert_handle();
	/* Once: the thread reports only one start. */
	QIL_ASSERT(d->state == DIVERT_SETTING_UP && !d->rules.installed);
	/* From here an exit signal stays pending until the shell takes it, so
	 * that rules installed meanwhile are removed on the way out. */
	exit_signals_block();
	if (exit_signals_thread_create(diversion_thread, NULL, NULL) != 0) {
		(void)fputs("Failed to create a windivert thread\n", stderr);
		exit(1);
	}
	/* Start-up succeeds only with the queue open and the rules in place;
	 * a failure has been logged and left no rule behind. */
	d->state.wait(DIVERT_SETTING_UP);
	return d->state == DIVERT_READY ? 0 : -1;
}

void
stop_diversion(void)
{
	if (divert_current == NULL)
		return;
	CHECK_OBJ_NOTNULL(divert_current, DIVERSION_MAGIC);
	(void)divert_rules_remove(&divert_current->rules);
}
