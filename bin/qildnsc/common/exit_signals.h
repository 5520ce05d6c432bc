/*
 * exit_signals.h -- the signals that play the tray menu's "Exit": SIGINT,
 * SIGTERM and SIGHUP (a closed terminal). Only the first thread takes them;
 * every other thread is started with them blocked.
 */
#ifndef QILDNSC_EXIT_SIGNALS_H
#define QILDNSC_EXIT_SIGNALS_H

#include <signal.h>

/* The set of exit signals. */
void exit_signals(sigset_t *set);
/* Blocks the exit signals in the calling thread; one that arrives stays
 * pending until exit_signals_wait() takes it. */
void exit_signals_block(void);
/* Waits for an exit signal (blocked first); returns its number. */
int exit_signals_wait(void);
/* Starts `start` on a new thread that never takes an exit signal;
 * 0 or the error number. */
int exit_signals_thread_create(void *(*start)(void *));

#endif
