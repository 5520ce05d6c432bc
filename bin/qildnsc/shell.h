/*
 * shell.h -- the process shell: after start-up the first thread starts the
 * event loop and waits for "Exit" (SIGINT, SIGTERM or SIGHUP).
 */
#ifndef QILDNSC_SHELL_H
#define QILDNSC_SHELL_H

/* Starts the event loop and waits for an exit signal; the exit status. */
int shell_run(void);

#endif
