/*
 * shell.cc -- the process shell: after start-up the first thread starts
 * the event loop and then runs the desktop's message loop (the tray icon)
 * until "Exit"; an exit signal plays the menu's "Exit". Every other thread
 * has the exit signals blocked, so they always reach the first thread.
 */
#include <stdio.h>

#include "divert/diversion.h"
#include "common/exit_signals.h"
#include "forward/loop.h"
#include "common/qildnsc.h"
#include "shell/shell.h"
#include "tcp/tcp_server.h"

int
shell_run(shell_loop_f *loop)
{
	/* Blocked before the thread exists, so it inherits the mask. */
	exit_signals_block();
	if (exit_signals_thread_create(main_loop) != 0) {
		(void)fputs("Failed to create a main thread\n", stderr);
		return 1;
	}
	if (exit_signals_thread_create(tcp_thread) != 0) {
		(void)fputs("Failed to create a TCP thread\n", stderr);
		return 1;
	}
	int status = loop();
	if (dnsc_conf.use_windivert)
		stop_diversion();
	return status;
}
