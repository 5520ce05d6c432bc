/*
 * exit_signals.h -- the signals that play the tray menu's "Exit": SIGINT,
 * SIGTERM and SIGHUP (a closed terminal), and every other signal from
 * outside whose default would end the process; and SIGUSR1, which asks
 * for the statistics. Only the first thread takes them; every other
 * thread is started with them blocked.
 */
#ifndef QILDNSC_EXIT_SIGNALS_H
#define QILDNSC_EXIT_SIGNALS_H

#include <pthread.h>
#include <signal.h>

/* The signal that asks for the counters in the log; it never ends the
 * process. */
#define REPORT_SIGNAL SIGUSR1

/* The set of exit signals (REPORT_SIGNAL is not among them). */
void exit_signals(sigset_t *set);
/* Blocks the exit signals and REPORT_SIGNAL in the calling thread, and
 * ignores SIGPIPE; one that arrives stays pending until the first thread
 * takes it. The first line of main() calls it. */
void exit_signals_block(void);
/* Waits for an exit signal (blocked first), writing the statistics at
 * each REPORT_SIGNAL meanwhile; returns the exit signal's number. */
int exit_signals_wait(void);
/* Starts `start(arg)` on a new thread that never takes an exit signal;
 * 0 or the error number. With `thread` the thread is joinable and named
 * there; without, it is detached. */
int exit_signals_thread_create(void *(*start)(void *), void *arg, pthread_t *thread);

#endif
