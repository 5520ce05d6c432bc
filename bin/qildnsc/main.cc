/*
 * main.cc -- the process entry: the log file, the start-up sequence, then
 * the shell until "Exit". Status 1 when start-up fails, 0 after "Exit".
 */
#include <stdio.h>
#include <stdlib.h>

#include "qildnsc.h"
#include "shell.h"

int
main(int argc, char *argv[])
{
	/* Standard output is the log; unbuffered, so no line is ever lost. */
	if (freopen("qildnsc_stdout.txt", "w+", stdout) == NULL) {
		perror("qildnsc_stdout.txt");
		return 1;
	}
	setvbuf(stdout, NULL, _IONBF, 0);
	if (qildnsc_init(argc, argv) != 0)
		return 1;
	/* The other threads are not told to stop; they end with the process. */
	exit(shell_run());
}
