/*
 * main.cc -- the process entry: the start (log, start-up sequence), then
 * the shell until "Exit", and the log's last line. Status 1 when start-up
 * fails, 0 after a check (-t) or "Exit".
 */
#include <stdlib.h>

#include "common/exit_signals.h"
#include "common/qildnsc.h"
#include "shell/log_file.h"
#include "shell/shell.h"
#include "tray/tray.h"

int
main(int argc, char *argv[])
{
	/* From the first line: an exit signal that comes during start-up waits
	 * for the orderly exit instead of killing the process half set up. */
	exit_signals_block();
	int status = shell_start(argc, argv);
	if (status >= 0)
		return status;
	struct shell_end end = {SHELL_END_MAGIC, SHELL_END_UNKNOWN, 0};
	status = shell_run(tray_run, &end);
	shell_end_log(&end, status);
	/* The shell has joined the threads that use the forwarder's state; the
	 * diversion thread, if any, uses nothing that exit handlers destroy. */
	exit(status);
}
