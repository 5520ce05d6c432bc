/*
 * exit_signals.cc -- the signals that end the process are taken by
 * sigwait(2) on the first thread only, so that the orderly exit (threads
 * joined, diversion rules removed) runs at a known point instead of in a
 * signal handler.
 *
 * Every signal whose default action ends the process and that comes from
 * outside is one of them, so that no `kill` leaves the diversion rules
 * behind. The faults of the process itself (SIGSEGV, SIGBUS, SIGILL,
 * SIGFPE, SIGABRT, SIGTRAP, SIGSYS) keep their default: a broken process
 * must not go on, and the service unit removes the rules after it.
 */
#include <signal.h>

#include "common/exit_signals.h"
#include "common/stats.h"
#include "odr.h"

void
exit_signals(sigset_t *set)
{
	static const int outside[] = {SIGHUP,   SIGINT,  SIGQUIT, SIGTERM, SIGUSR2,
	                              SIGALRM,  SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,
	                              SIGXCPU,  SIGXFSZ, SIGSTKFLT};

	AN(set);
	sigemptyset(set);
	for (int sig : outside)
		sigaddset(set, sig);
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		sigaddset(set, sig);
}

/* The exit signals and REPORT_SIGNAL: what the first thread waits for. */
static void
exit_signals_taken(sigset_t *set)
{
	exit_signals(set);
	sigaddset(set, REPORT_SIGNAL);
}

void
exit_signals_block(void)
{
	sigset_t set;

	/* A client that goes away while we write to it is an error return of
	 * that write, not the end of the process. */
	(void)signal(SIGPIPE, SIG_IGN);
	exit_signals_taken(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, NULL));
}

int
exit_signals_wait(void)
{
	sigset_t set;
	int sig;

	exit_signals_taken(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, NULL));
	for (;;) {
		if (sigwait(&set, &sig) != 0)
			continue;
		if (sig != REPORT_SIGNAL)
			return sig;
		stats_log();
	}
}

int
exit_signals_thread_create(void *(*start)(void *), void *arg, pthread_t *thread)
{
	sigset_t set, old;
	pthread_t t;

	exit_signals_taken(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, &old));
	int r = ODR_pthread_create(&t, NULL, start, arg);
	AZ(pthread_sigmask(SIG_SETMASK, &old, NULL));
	if (r == 0 && thread != NULL)
		*thread = t;
	else if (r == 0)
		AZ(pthread_detach(t));
	return r;
}
