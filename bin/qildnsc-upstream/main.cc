/*
 * main.cc -- the process entry of qildnsc-upstream: the log on standard
 * output, the options, the set-up, then the serving loop until SIGINT or
 * SIGTERM. Status 1 for misuse or a failed start-up, 0 after a signal.
 */
#include <stdio.h>

#include "odr.h"
#include "serve.h"
#include "upstream.h"
#include "vtc_log.h"

/* Too big for the stack; only the first thread uses it. */
static struct ups_server server;

int
main(int argc, char *argv[])
{
	/* Unbuffered, so that no line is lost whatever ends the process. */
	setvbuf(stdout, NULL, _IONBF, 0);
	(void)ODR_libinit();
	vl = vtc_logopen("upst", NULL);
	vtc_log(vl, VTCLOG_DEBUG2, UPS_BANNER);
	ups_parse_options(argc, argv);
	if (serve_open(&server) != 0)
		return 1;
	return serve_run(&server);
}
