/*
 * loop.cc -- main_loop(): one wait over the sockets, due held answers
 * released on every turn, then a bounded batch from each readable socket
 * through its handler, then the queued sends.
 *
 * Event-loop thread only. One clock read per turn serves every datagram
 * of that turn. A wait ends when the first timed duty falls due (a held
 * answer, a late query, a cache refresh), and has no time-out when there
 * is none, so that an idle forwarder costs no wake-up; loop_stop() ends
 * it through the wake socket. On a machine with cores to spare, right
 * after client queries went upstream the loop polls briefly instead of
 * sleeping, for the answer.
 */
#include <string.h>

#include <atomic>
#include <thread>

#include "cache/cache.h"
#include "common/qildnsc.h"
#include "dot/dot.h"
#include "forward/held.h"
#include "forward/intake.h"
#include "forward/late.h"
#include "forward/loop.h"
#include "forward/relay.h"
#include "servers/servers.h"
#include "vtc_log.h"
#include "vtim.h"

int
loop_open(struct loop *lp, const int *local, int n_local, const int *upstream,
          int n_upstream, int tls)
{
	QIL_ASSERT(n_local >= 1 && n_local <= SOCK_LOCAL_MAX);
	/* Room for the TLS channel and the wake socket too. */
	QIL_ASSERT(n_upstream >= 1 && n_local + n_upstream + 2 <= LOOP_FDS_MAX);
	memset(lp, 0, sizeof *lp);
	lp->magic = LOOP_MAGIC;
	sock_batch_init(&lp->batch);
	memcpy(lp->fds, local, (size_t)n_local * sizeof *local);
	memcpy(lp->fds + n_local, upstream, (size_t)n_upstream * sizeof *upstream);
	lp->n_local = n_local;
	lp->nfds = n_local + n_upstream;
	lp->tls_at = -1;
	if (tls >= 0) {
		lp->tls_at = lp->nfds;
		lp->fds[lp->nfds++] = tls;
	}
	lp->poll_usec = std::thread::hardware_concurrency() >= LOOP_POLL_CPUS ? LOOP_POLL_USEC : 0;
	lp->wake_fd = sock_wake_open();
	if (lp->wake_fd < 0) {
		lp->magic = 0;
		return -1;
	}
	lp->fds[lp->nfds] = lp->wake_fd;

	if (sock_wait_open(&lp->wait, lp->fds, lp->nfds + 1) != 0) {
		(void)ODR_closesocket(lp->wake_fd);
		lp->magic = 0;
		return -1;
	}
	return 0;
}

void
loop_close(struct loop *lp)
{
	CHECK_OBJ_NOTNULL(lp, LOOP_MAGIC);
	sock_wait_close(&lp->wait);
	(void)ODR_closesocket(lp->wake_fd);
	lp->wake_fd = -1;
	lp->magic = 0;
}

int
loop_turn(struct loop *lp, int timeout_ms)
{
	bool ready[LOOP_FDS_MAX] = {};
	struct odr_timeval now;

	CHECK_OBJ_NOTNULL(lp, LOOP_MAGIC);
	if (sock_wait(&lp->wait, ready, timeout_ms) != 0)
		return -1;

	held_now(&now);
	lp->now = now;
	release_held_answers_at(&now);
	late_run(&now);
	intake_refresh(&now);
	if (ready[lp->nfds])
		sock_wake_drain(lp->wake_fd);
	for (int i = 0; i < lp->nfds; i++) {
		if (!ready[i])
			continue;
		bool local = i < lp->n_local;
		/* Datagrams of EDNS size both ways. */
		int got = sock_recv(lp->fds[i], local ? LOCAL_BUFSIZE : REMOTE_BUFSIZE,
		    &lp->batch);
		if (local && lp->batch.dg[0].n >= 0)
			lp->busy = now;
		for (int j = 0; j < got; j++) {
			if (local)
				DNS_local(&lp->batch.dg[j], &now);
			else if (i == lp->tls_at)
				DNS_remote_tls(&lp->batch.dg[j], &now);
			else
				DNS_remote(&lp->batch.dg[j], i - lp->n_local, &now);
		}
		/* Out before the next socket is served: the upstream servers
		 * work on the queries meanwhile. */
		sock_flush();
	}
	sock_flush();
	double secs = VTIM_tv(&now);
	intake_log_flush(secs);
	relay_log_flush(secs);
	sock_log_flush(secs);
	return 0;
}

int
loop_wait_ms(const struct loop *lp)
{
	CHECK_OBJ_NOTNULL(lp, LOOP_MAGIC);
	if (lp->poll_usec > 0 && elapsed_seconds(&lp->busy, &lp->now) * 1e6f < (float)lp->poll_usec)
		return 0;
	int ms = held_wait_ms(&lp->now, -1);
	auto sooner = [&ms](int w) {
		if (w >= 0 && (ms < 0 || w < ms))
			ms = w;
	};
	sooner(late_wait_ms(&lp->now));
	if (qil_cache != NULL) {
		double w = cache_refresh_wait(qil_cache, VTIM_tv(&lp->now));
		sooner(w < 0 ? -1 : (int)(w * 1000) + 1);
	}
	if (vtc_limit_pending())
		sooner(LOOP_LIMIT_WAIT_MS);
	return ms;
}

struct loop *
loop_new(void)
{
	struct loop *lp = new struct loop;
	int local[SOCK_LOCAL_MAX];
	int upstream[2 * UPSTREAM_SOCKETS];
	int n_local = sock_local_fds(local);

	if (loop_open(lp, local, n_local, upstream, sock_upstream_fds(upstream),
	    dot_owner_fd(DOT_OWNER_LOOP)) != 0) {
		delete lp;
		return NULL;
	}
	/* With TLS servers alone the spin would only keep the TLS thread off
	 * a shared core. */
	bool datagrams = false;
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++)
		if (!(upstreams.upstream_servers[i].flags & UPSTREAM_TLS))
			datagrams = true;
	if (!datagrams)
		lp->poll_usec = 0;
	return lp;
}

void *
main_loop(void *arg)
{
	struct loop *lp;

	CAST_OBJ_NOTNULL(lp, arg, LOOP_MAGIC);
	while (!std::atomic_ref<bool>(lp->stop).load() && loop_turn(lp, loop_wait_ms(lp)) == 0)
		continue;
	return NULL;
}

void
loop_stop(struct loop *lp)
{
	CHECK_OBJ_NOTNULL(lp, LOOP_MAGIC);
	std::atomic_ref<bool>(lp->stop).store(true);
	sock_wake(lp->wake_fd);
}

void
loop_delete(struct loop *lp)
{
	CHECK_OBJ_NOTNULL(lp, LOOP_MAGIC);
	loop_close(lp);
	delete lp;
}
