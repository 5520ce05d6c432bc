/*
 * no_getrandom.cc -- runs a program with the kernel's random generator
 * refused: a seccomp filter answers every getrandom(2) with ENOSYS, as an
 * old or locked-down kernel would. For the start-up's random-source check.
 *
 *   no_getrandom PROGRAM [ARG...]
 */
#include <stdio.h>
#include <unistd.h>

#include "refuse_getrandom.h"

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		(void)fputs("usage: no_getrandom PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	if (!qiltest::refuse_getrandom()) {
		perror("no_getrandom: seccomp");
		return 2;
	}
	execv(argv[1], argv + 1);
	perror("no_getrandom: execv");
	return 127;
}
