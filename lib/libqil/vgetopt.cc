/*
 * vgetopt.cc -- the command-line scanner.
 *
 * Called on the start-up thread only; its state is process-wide.
 */
#include <stdio.h>
#include <string.h>

#include "vgetopt.h"

namespace qil {

char *optarg;
int optind = 1;
int opterr = 1;
int optopt;
int optreset;

#define BADCH  '?'
#define BADARG ':'

static const char EMSG[] = "";

int
getopt(int nargc, char *const nargv[], const char *ostr)
{
	static const char *place = EMSG; /* position inside the current element */
	const char *oli;

	if (optreset || *place == '\0') {
		optreset = 0;
		if (optind >= nargc || *(place = nargv[optind]) != '-') {
			place = EMSG;
			return -1;
		}
		if (place[1] != '\0' && *++place == '-' && place[1] == '\0') { /* "--" */
			++optind;
			place = EMSG;
			return -1;
		}
	}
	optopt = (unsigned char)*place++;
	if (optopt == ':' || (oli = strchr(ostr, optopt)) == NULL) {
		/*
		 * A lone "-" is an ordinary argument unless '-' is an option: it
		 * is the one element whose leading '-' is read as a character.
		 */
		if (place - 1 == nargv[optind]) {
			place = EMSG;
			return -1;
		}
		if (*place == '\0')
			++optind;
		if (opterr && *ostr != ':')
			(void)fprintf(stderr, "illegal option -- %c\n", optopt);
		return BADCH;
	}
	if (*++oli != ':') { /* no argument */
		optarg = NULL;
		if (*place == '\0')
			++optind;
	} else {
		if (*place != '\0') { /* argument attached */
			optarg = const_cast<char *>(place);
		} else if (nargc <= ++optind) { /* argument missing */
			place = EMSG;
			if (*ostr == ':')
				return BADARG;
			if (opterr)
				(void)fprintf(stderr, "option requires an argument -- %c\n", optopt);
			return BADCH;
		} else {
			optarg = nargv[optind];
		}
		place = EMSG;
		++optind;
	}
	return optopt;
}

} // namespace qil
