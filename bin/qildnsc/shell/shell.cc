/*
 * shell.cc -- the process shell: after start-up the first thread starts
 * the event loop and then runs the desktop's message loop (the tray icon)
 * until "Exit"; an exit signal plays the menu's "Exit". Every other thread
 * has the exit signals blocked, so they always reach the first thread. At
 * the end it removes the diversion rules and stops and joins the threads
 * it started.
 */
#include <stdio.h>

#include "cache/cache.h"
#include "cache/cache_file.h"
#include "divert/diversion.h"
#include "dot/dot.h"
#include "common/exit_signals.h"
#include "forward/loop.h"
#include "common/qildnsc.h"
#include "shell/shell.h"
#include "page/page_server.h"
#include "record/record.h"
#include "record/record_who.h"
#include "tcp/tcp_server.h"

/* Stops the event loop, the TCP thread and the TLS thread and waits for
 * them, so that nothing they use is destroyed under them when the process
 * ends. */
static void
shell_join(struct loop *lp, pthread_t loop_thread, const pthread_t *tcp,
           const pthread_t *tls)
{
	loop_stop(lp);
	if (tcp != NULL) {
		tcp_stop();
		AZ(pthread_join(*tcp, NULL));
	}
	if (tls != NULL) {
		dot_stop();
		AZ(pthread_join(*tls, NULL));
	}
	AZ(pthread_join(loop_thread, NULL));
	loop_delete(lp);
}

int
shell_run(shell_loop_f *loop, struct shell_end *end)
{
	pthread_t loop_thread, tcp, tls;

	CHECK_OBJ_NOTNULL(end, SHELL_END_MAGIC);
	/* Blocked before the threads exist, so they inherit the mask (main()
	 * has done so already; a second time costs nothing). */
	exit_signals_block();
	/* The query page is a window on the forwarding, never a condition of
	 * it: without it (logged), DNS is served all the same. */
	if (dnsc_conf.page_port != 0) {
		record_init(RECORD_QUERIES_DEFAULT);
		(void)record_who_start();
		(void)page_start((uint16_t)dnsc_conf.page_port);
	}
	struct loop *lp = loop_new();
	if (lp == NULL)
		return 1;
	if (exit_signals_thread_create(main_loop, lp, &loop_thread) != 0) {
		(void)fputs("Failed to create a main thread\n", stderr);
		loop_delete(lp);
		return 1;
	}
	if (exit_signals_thread_create(tcp_thread, NULL, &tcp) != 0) {
		(void)fputs("Failed to create a TCP thread\n", stderr);
		shell_join(lp, loop_thread, NULL, NULL);
		return 1;
	}
	bool with_tls = dot_owner_fd(DOT_OWNER_LOOP) >= 0;
	if (with_tls && exit_signals_thread_create(dot_thread, NULL, &tls) != 0) {
		(void)fputs("Failed to create a TLS thread\n", stderr);
		shell_join(lp, loop_thread, &tcp, NULL);
		return 1;
	}
	int status = loop(end);
	if (dnsc_conf.use_windivert)
		stop_diversion();
	page_stop();
	shell_join(lp, loop_thread, &tcp, with_tls ? &tls : NULL);
	record_who_stop();
	/* Kept for the next start, which comes at resume. */
	if (qil_cache != NULL)
		cache_file_save(qil_cache, CACHE_FILE_NAME);
	return status;
}
