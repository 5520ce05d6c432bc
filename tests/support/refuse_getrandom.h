/*
 * refuse_getrandom.h -- makes the kernel refuse getrandom(2) to the calling
 * process from now on: a seccomp filter answers every call with ENOSYS, as
 * an old or locked-down kernel would. It cannot be undone; use it in a
 * child process.
 */
#ifndef QIL_TEST_REFUSE_GETRANDOM_H
#define QIL_TEST_REFUSE_GETRANDOM_H

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#if defined(__x86_64__)
#define REFUSE_GETRANDOM_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define REFUSE_GETRANDOM_ARCH AUDIT_ARCH_AARCH64
#else
#error "refuse_getrandom: unknown audit architecture"
#endif

namespace qiltest {

/* True when the filter is in place. */
inline bool
refuse_getrandom()
{
	struct sock_filter code[] = {
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, REFUSE_GETRANDOM_ARCH, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

} // namespace qiltest

#endif
