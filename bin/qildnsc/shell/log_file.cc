/*
 * log_file.cc -- the log file kept across starts, locked while its run
 * lasts, and its echo on standard error for a person at a terminal or for
 * the journal. First thread only, but for the hook, which runs under the
 * log handle's mutex.
 */
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/qildnsc.h"
#include "odr.h"
#include "shell/log_file.h"
#include "vsb.h"
#include "vtc_log.h"

/* Where the lines go: held in memory until the start has chosen; the
 * file's name once they go there. */
enum class log_where { held, file, none };
static log_where shell_log_where = log_where::held;
static const char *shell_log_name;

/* True (logged) when another process holds the log `name`: a qildnsc
 * running from this directory, whose file must stay whole. */
static bool
shell_log_taken(const char *name)
{
	FILE *f = fopen(name, "rb");
	if (f == NULL)
		return false;
	/* A lock that cannot be had at all says nothing of another run. */
	bool taken = ODR_lockfile(fileno(f)) != 0 && errno == EWOULDBLOCK;
	(void)fclose(f);
	if (taken)
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01051: Another qildnsc runs from this directory (it writes %s); "
		    "this one does not start and leaves that log alone.", name);
	return taken;
}

int
shell_log_open(const char *name)
{
	AN(name);
	QIL_ASSERT(shell_log_where == log_where::held);
	shell_log_where = log_where::none;
	if (shell_log_taken(name))
		return -1;
	const std::string kept = std::string(name) + ".1";
#ifdef _WIN32
	/* Windows renames onto no existing file. */
	(void)remove(kept.c_str());
#endif
	/* The previous run's log is never cut: it moves aside whole. */
	if (rename(name, kept.c_str()) != 0 && errno != ENOENT) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01054: Cannot keep the previous log %s as %s: %s",
		    name, kept.c_str(), strerror(errno));
		return -1;
	}
	/* Standard output is the log; unbuffered, so no line is ever lost. */
	if (freopen(name, "w", stdout) == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01055: Cannot write the log %s: %s", name,
		    strerror(errno));
		return -1;
	}
	setvbuf(stdout, NULL, _IONBF, 0);
	/* Held while this run lasts, so that a second start from here
	 * refuses before it moves this log aside. Where files take no lock,
	 * the port or the diversion's guard still refuses that start. */
	(void)ODR_lockfile(fileno(stdout));
	shell_log_where = log_where::file;
	shell_log_name = name;
	vtc_logrelease(vl, stdout);
	return 0;
}

void
shell_log_keep_out(void)
{
	shell_log_where = log_where::none;
}

void
shell_log_settle(void)
{
	if (shell_log_where == log_where::held && !dnsc_conf.check_only)
		(void)shell_log_open(QILDNSC_LOG_NAME);
}

const char *
shell_log_file(void)
{
	return shell_log_where == log_where::file ? shell_log_name : NULL;
}

std::string
shell_log_text(void)
{
	if (shell_log_where == log_where::file) {
		std::ifstream in(shell_log_name, std::ios::binary);
		std::ostringstream text;
		text << in.rdbuf();
		return text.str();
	}
	struct vsb *held = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
	AN(held);
	vtc_logheld(vl, held);
	vsb_finish(held);
	std::string text(vsb_data(held), (size_t)vsb_len(held));
	vsb_delete(held);
	return text;
}

bool
shell_log_echoed(void)
{
	const char *journal = getenv("JOURNAL_STREAM");
	return (journal != NULL && *journal != '\0') || isatty(2) == 1;
}

int
shell_log_hook(int lvl, double, const char *fmt, ...)
{
	va_list ap;

	if (lvl > VTCLOG_WARN || !shell_log_echoed())
		return -1;
	(void)fputs(lvl == VTCLOG_ERROR ? "qildnsc: error: " : "qildnsc: warning: ", stderr);
	va_start(ap, fmt);
	(void)vfprintf(stderr, fmt, ap);
	va_end(ap);
	return -1;
}

/* "15 (SIGTERM)"; the real-time signals by their place after SIGRTMIN. */
static std::string
shell_signal_text(int sig)
{
	std::string text = std::to_string(sig);
#ifndef _WIN32
	const char *abbrev = sigabbrev_np(sig);
	if (abbrev != NULL)
		text += std::string(" (SIG") + abbrev + ")";
	else if (sig >= SIGRTMIN && sig <= SIGRTMAX)
		text += " (SIGRTMIN+" + std::to_string(sig - SIGRTMIN) + ")";
#endif
	return text;
}

std::string
shell_end_text(const struct shell_end *end)
{
	CHECK_OBJ_NOTNULL(end, SHELL_END_MAGIC);
	switch (end->how) {
	case SHELL_END_UNKNOWN:
		return "the end of its message loop";
	case SHELL_END_SIGNAL:
		return "signal " + shell_signal_text(end->sig);
	case SHELL_END_MENU:
		return "\"Exit\" from the tray menu";
	case SHELL_END_SLEEP:
		return "the machine going to sleep";
	case SHELL_END_WAKE:
		return "the machine waking up";
	case SHELL_END_STARTUP:
		return "a failed start-up";
	case SHELL_END_CHECK:
		return "a finished check (-t)";
	default:
		WRONG("shell_end_how");
	}
	return "";
}

void
shell_end_log(const struct shell_end *end, int status)
{
	const std::string how = shell_end_text(end);

	vtc_log(vl, VTCLOG_INFO, "QILEC_00900: Ended by %s; exit status %d.", how.c_str(), status);
	if (shell_log_echoed())
		(void)fprintf(stderr, "qildnsc: ended by %s; exit status %d\n", how.c_str(), status);
}
