/*
 * shell.h -- the process shell: threads started with the exit signals
 * blocked, and the first thread waiting for "Exit" (SIGINT or SIGTERM).
 */
#ifndef QILDNSC_SHELL_H
#define QILDNSC_SHELL_H

/* Starts `start` on a new thread that never takes SIGINT or SIGTERM;
 * 0 or the error number. */
int shell_thread_create(void *(*start)(void *));

/* Starts the event loop and waits for SIGINT or SIGTERM; the exit status. */
int shell_run(void);

#endif
