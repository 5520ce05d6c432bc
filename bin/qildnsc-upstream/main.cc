/*
 * main.cc -- the process entry of qildnsc-upstream: the log on standard
 * output, the options, the set-up, then the serving loop until SIGINT or
 * SIGTERM. Status 1 for misuse or a failed start-up, 0 after a signal.
 */
#include <stdio.h>

#include <memory>

#include "odr.h"
#include "serve.h"
#include "upstream.h"
#include "vtc_log.h"

int
main(int argc, char *argv[])
{
	struct ups_config conf = {};

	/* Unbuffered, so that no line is lost whatever ends the process. */
	setvbuf(stdout, NULL, _IONBF, 0);
	(void)ODR_libinit();
	vl = vtc_logopen("upst", NULL);
	vtc_log(vl, VTCLOG_DEBUG2, UPS_BANNER);
	ups_parse_options(&conf, argc, argv);
	/* Too big for the stack (the answer buffer); only this thread uses it. */
	auto server = std::make_unique<struct ups_server>();
	int status = serve_open(server.get(), &conf) != 0 ? 1 : serve_run(server.get());
	serve_close(server.get());
	ups_config_free(&conf);
	return status;
}
