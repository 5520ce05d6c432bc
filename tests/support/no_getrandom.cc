/*
 * no_getrandom.cc -- runs a program with the kernel's random generator
 * refused: a seccomp filter answers every getrandom(2) with ENOSYS, as an
 * old or locked-down kernel would. For the start-up's random-source check.
 *
 *   no_getrandom PROGRAM [ARG...]
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define NO_GETRANDOM_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NO_GETRANDOM_ARCH AUDIT_ARCH_AARCH64
#else
#error "no_getrandom: unknown audit architecture"
#endif

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		(void)fputs("usage: no_getrandom PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	struct sock_filter code[] = {
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NO_GETRANDOM_ARCH, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
		perror("no_getrandom: seccomp");
		return 2;
	}
	execv(argv[1], argv + 1);
	perror("no_getrandom: execv");
	return 127;
}
