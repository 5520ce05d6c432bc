/*
 * main.cc -- the process entry: the log file, the start-up sequence, and
 * the exit status.
 */
#include <stdio.h>

#include "qildnsc.h"

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
	return 0;
}
