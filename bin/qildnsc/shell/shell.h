/*
 * shell.h -- the process shell: after start-up the first thread starts the
 * event loop and runs the desktop's message loop until "Exit" (the tray
 * menu, sleep or wake, or SIGINT, SIGTERM or SIGHUP).
 */
#ifndef QILDNSC_SHELL_H
#define QILDNSC_SHELL_H

struct shell_end;

/*
 * The first thread's message loop: runs until the process is to end, says
 * why in `end`, and returns the exit status. It takes the exit signals
 * itself (they are blocked in every thread). The desktop's own: tray_run()
 * on Linux.
 */
typedef int shell_loop_f(struct shell_end *end);

/* Starts the event loop, runs `loop` (which fills `end`) and removes what
 * diversion put in place; the exit status. */
int shell_run(shell_loop_f *loop, struct shell_end *end);

#endif
