/*
 * init.cc -- the start-up sequence, run once on the first thread before
 * any other thread of the forwarder exists. Each step logs its own failure;
 * the sequence stops at the first one. A check (-t) reads every input the
 * same way, stops before the first socket or rule and writes nothing to
 * the directory.
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include "cache/cache.h"
#include "cache/cache_file.h"
#include "common/stats.h"
#include "config/config.h"
#include "divert/diversion.h"
#include "divert/divert_servers.h"
#include "dot/dot.h"
#include "filter/tables.h"
#include "forward/held.h"
#include "forward/late.h"
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

/* The check's view of the listening address and port: resolved as a start
 * resolves them (a service name included), but nothing bound; and of what
 * the inputs lost, a line or an entry skipped. 0 or 1 (logged). */
static int
init_check_listen(void)
{
	struct addrinfo *res = NULL;

	if (sock_listen_resolve(&res) != 0)
		return 1;
	freeaddrinfo(res);
	/* A start would go on without them; a check is there to find them. */
	int32_t lines = tables.n_ip_blacklist_skipped + tables.n_croute_skipped;
	if (lines > 0 || config_state.servers_refused > 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01113: Check failed: %d list lines and %d server "
		    "entries were skipped (each named above).", (int)lines,
		    (int)config_state.servers_refused);
		return 1;
	}
	vtc_log(vl, VTCLOG_INFO, "QILEC_00904: Check passed; nothing was started.");
	return 0;
}

/*
 * The log's file, once the options say what this start is: a check
 * writes none; a start takes the diversion's guard first, so that one
 * refused beside a running qildnsc leaves that one's files alone (the
 * log's own lock keeps out a second run from the same directory). 0 or 1
 * (logged).
 */
static int
init_log(void)
{
	if (dnsc_conf.check_only) {
		shell_log_keep_out();
		return 0;
	}
	if (dnsc_conf.use_windivert && divert_guard() != 0) {
		shell_log_keep_out();
		return 1;
	}
	return shell_log_open(QILDNSC_LOG_NAME) != 0;
}

int
qildnsc_init(int argc, char *argv[])
{
	(void)ODR_libinit();
	vl = vtc_logopen("dnsc", shell_log_hook);
	QIL_ASSERT(vl != NULL);
	/* Nothing reaches the directory before init_log() has chosen. */
	vtc_loghold(vl);
	vtc_log(vl, VTCLOG_DEBUG2, QILDNSC_BANNER);
	if (parse_options(argc, argv) != 0)
		return 1;
	if (init_log() != 0)
		return 1;
	/* Query IDs and the choice of static nodes rest on it. */
	if (ODR_randomCheck(vl) != 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00790: The system's random generator does not work; cannot run without it.");
		return 1;
	}
	/* Without the static nodes the fetch just has no fallback; without a
	 * fetch there is none to need. */
	if (config_kind(NULL) == CONFIG_KIND_SERVER)
		(void)load_static_nodes();
	if (init_cc() != 0)
		return 1;
	if (load_blacklist() != 0)
		return 1;
	if (load_croute() != 0)
		return 1;
	if (init_servers() != 0)
		return 1;
	if (dnsc_conf.use_windivert && divert_servers_check() != 0)
		return 1;
	if (dot_init(dnsc_conf.check_only != 0) != 0)
		return 1;
	if (dnsc_conf.check_only)
		return init_check_listen();
	pending_init();
	held_init();
	late_init();
	if (dnsc_conf.cache_entries > 0) {
		qil_cache = cache_new((size_t)dnsc_conf.cache_entries, CACHE_TTL_MIN, CACHE_TTL_MAX);
		cache_set_bare_negative(qil_cache, (uint32_t)dnsc_conf.bare_negative);
		cache_file_load(qil_cache, CACHE_FILE_NAME);
	}
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

	if (qildnsc_init(argc, argv) != 0) {
		shell_log_settle();
		startup_report_failure(stderr, shell_log_text(), shell_log_file());
		shell_end_log(&end, 1);
		return 1;
	}
	if (dnsc_conf.check_only) {
		startup_report_check(stderr, QILDNSC_LOG_NAME);
		end.how = SHELL_END_CHECK;
		shell_end_log(&end, 0);
		return 0;
	}
	/* Only a document that has served a start is kept for the next. */
	config_keep();
	if (shell_log_echoed()) {
		startup_report_ready(stderr, QILDNSC_LOG_NAME);
		stats_echo(stderr);
	}
	return -1;
}
