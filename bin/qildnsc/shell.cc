/*
 * shell.cc -- what stands in for the tray icon on Linux: after start-up
 * the first thread starts the event loop and then only waits for SIGINT or
 * SIGTERM, which play the menu's "Exit". Every other thread has both
 * signals blocked, so they always reach the waiting first thread.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "diversion.h"
#include "loop.h"
#include "qildnsc.h"
#include "odr.h"
#include "shell.h"

static void
shell_exit_signals(sigset_t *set)
{
	sigemptyset(set);
	sigaddset(set, SIGINT);
	sigaddset(set, SIGTERM);
}

int
shell_thread_create(void *(*start)(void *))
{
	sigset_t set, old;
	ODR_pthread_t thread;

	shell_exit_signals(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, &old));
	int r = ODR_pthread_create(&thread, NULL, start, NULL);
	AZ(pthread_sigmask(SIG_SETMASK, &old, NULL));
	return r;
}

int
shell_run(void)
{
	sigset_t set;
	int sig;

	/* Blocked before the thread exists, so it inherits the mask. */
	shell_exit_signals(&set);
	AZ(pthread_sigmask(SIG_BLOCK, &set, NULL));
	ODR_pthread_t thread;
	if (ODR_pthread_create(&thread, NULL, main_loop, NULL) != 0) {
		(void)fputs("Failed to create a main thread\n", stderr);
		return 1;
	}
	while (sigwait(&set, &sig) != 0)
		continue;
	if (dnsc_conf.use_windivert)
		stop_diversion();
	return 0;
}
