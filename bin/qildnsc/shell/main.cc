/*
 * main.cc -- the process entry: the log file, the start-up sequence, then
 * the shell until "Exit". Status 1 when start-up fails, 0 after "Exit".
 */
#include <stdio.h>
#include <stdlib.h>

#include "common/exit_signals.h"
#include "common/qildnsc.h"
#include "shell/shell.h"
#include "shell/startup_report.h"
#include "tray/tray.h"

static const char log_name[] = "qildnsc_stdout.txt";

int
main(int argc, char *argv[])
{
	/* From the first line: an exit signal that comes during start-up waits
	 * for the orderly exit instead of killing the process half set up. */
	exit_signals_block();
	/* Standard output is the log; unbuffered, so no line is ever lost. */
	if (freopen(log_name, "w+", stdout) == NULL) {
		perror(log_name);
		return 1;
	}
	setvbuf(stdout, NULL, _IONBF, 0);
	if (qildnsc_init(argc, argv) != 0) {
		startup_report_failure(stderr, log_name);
		return 1;
	}
	/* The shell has joined the threads that use the forwarder's state; the
	 * diversion thread, if any, uses nothing that exit handlers destroy. */
	exit(shell_run(tray_run));
}
