/*
 * init.cc -- the start-up sequence, run once on the first thread before
 * any other thread of the forwarder exists. Each step logs its own failure;
 * the sequence stops at the first one.
 */
#include <stddef.h>
#include <stdio.h>

#include "config/config.h"
#include "divert/diversion.h"
#include "filter/tables.h"
#include "forward/held.h"
#include "forward/pending.h"
#include "forward/sockets.h"
#include "odr.h"
#include "odr_random.h"
#include "common/qildnsc.h"
#include "servers/servers.h"
#include "shell/log_file.h"
#include "shell/startup_report.h"
#include "tcp/tcp_server.h"
#include "vtc_log.h"

struct vtclog *vl;

int
qildnsc_init(int argc, char *argv[])
{
	(void)ODR_libinit();
	vl = vtc_logopen("dnsc", shell_log_hook);
	QIL_ASSERT(vl != NULL);
	vtc_log(vl, VTCLOG_DEBUG2, QILDNSC_BANNER);
	if (parse_options(argc, argv) != 0)
		return 1;
	/* Query IDs and the choice of static nodes rest on it. */
	if (ODR_randomCheck(vl) != 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00790: The system's random generator does not work; cannot run without it.");
		return 1;
	}
	/* Without the static nodes the fetch just has no fallback. */
	(void)load_static_nodes();
	if (init_cc() != 0)
		return 1;
	if (load_blacklist() != 0)
		return 1;
	if (load_croute() != 0)
		return 1;
	if (init_servers() != 0)
		return 1;
	pending_init();
	held_init();
	if (init_sockets() != 0)
		return 1;
	if (init_tcp() != 0)
		return 1;
	if (dnsc_conf.use_windivert && start_diversion() != 0)
		return 1;
	return 0;
}

int
shell_start(int argc, char *argv[])
{
	struct shell_end end = {SHELL_END_MAGIC, SHELL_END_STARTUP, 0};

	if (shell_log_open(QILDNSC_LOG_NAME) != 0)
		return 1;
	if (qildnsc_init(argc, argv) != 0) {
		startup_report_failure(stderr, QILDNSC_LOG_NAME);
		shell_end_log(&end, 1);
		return 1;
	}
	if (shell_log_echoed())
		startup_report_ready(stderr, QILDNSC_LOG_NAME);
	return -1;
}
