/*
 * exit_signals.cc -- SIGINT, SIGTERM and SIGHUP are taken by sigwait(2) on
 * the first thread only, so that the orderly exit (diversion rules removed)
 * runs at a known point instead of in a signal handler.
 */
#include <signal.h>

#include "common/exit_signals.h"
#include "odr.h"

void
exit_signals(sigset_t *set)
{
	sigemptyset(set);
	sigaddset(set, SIGINT);
	sigaddset(set, SIGTERM);
	sigaddset(set, SIGHUP);
}

void
exit_signals_block(void)
{
	sigset_t set;

	exit_signals(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, NULL));
}

int
exit_signals_wait(void)
{
	sigset_t set;
	int sig;

	exit_signals(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, NULL));
	while (sigwait(&set, &sig) != 0)
		continue;
	return sig;
}

int
exit_signals_thread_create(void *(*start)(void *))
{
	sigset_t set, old;
	ODR_pthread_t thread;

	exit_signals(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, &old));
	int r = ODR_pthread_create(&thread, NULL, start, NULL);
	AZ(pthread_sigmask(SIG_SETMASK, &old, NULL));
	return r;
}
