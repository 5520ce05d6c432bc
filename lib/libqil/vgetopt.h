/*
 * vgetopt.h -- the command-line scanner with POSIX getopt semantics.
 *
 * It never permutes: scanning stops at the first non-option. Its
 * diagnostics carry no program name. It lives in namespace qil so that its
 * state variables never collide with the C library's own.
 */
#ifndef QIL_VGETOPT_H
#define QIL_VGETOPT_H

namespace qil {

extern char *optarg;
extern int optind;
extern int opterr;
extern int optopt;
extern int optreset;

/* The next option letter of `nargv` that `ostr` names (its argument in
 * optarg), '?' (or ':' for a missing argument when `ostr` starts with ':')
 * for a bad one, -1 at the first non-option; start-up thread only. */
int getopt(int nargc, char *const nargv[], const char *ostr);

} // namespace qil

#endif
