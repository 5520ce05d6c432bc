/*
 * log_file.cc -- the log file, the last five runs' kept beside it, locked
 * while its run lasts, and its echo on standard error for a person at a terminal or for
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
#include "odr_file.h"
#include "shell/log_file.h"
#include "vsb.h"
#include "vtc_log.h"

/* Where the lines go: held in memory until the start has chosen; the
 * file's name once they go there. */
enum class log_where { held, file, none };
static log_where shell_log_where = log_where::held;
static const char *shell_log_name;

/* Whether the log `name` may be moved aside and written afresh: -1
 * (logged) when another process holds it (a qildnsc running from this
 * directory, whose file must stay whole) or when it is no regular file (a
 * link, planted to make us write its target; a FIFO, which would hang the
 * start); else 0. */
static int
shell_log_check(const char *name)
{
	int fd = ODR_file_open_read(name);
	if (fd < 0 && (errno == ELOOP || errno == EINVAL)) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01100: The log %s is %s; this one does not start (remove it, or start "
		    "from another directory).", name, ODR_file_strerror(errno));
		return -1;
	}
	if (fd < 0)
		return 0;
	/* A lock that cannot be had at all says nothing of another run. */
	bool taken = ODR_lockfile(fd) != 0 && errno == EWOULDBLOCK;
	(void)close(fd);
	if (taken) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01051: Another qildnsc runs from this directory (it writes %s); "
		    "this one does not start and leaves that log alone.", name);
		return -1;
	}
	return 0;
}

/* "<name>.<n>" */
static std::string
shell_log_kept(const char *name, int n)
{
	return std::string(name) + "." + std::to_string(n);
}

/* Moves `from` to `to`, replacing it; false (errno set) on failure, and
 * true when there was nothing to move. rename(2) moves a link itself,
 * never what it points to. */
static bool
shell_log_move(const std::string &from, const std::string &to)
{
#ifdef _WIN32
	/* Windows renames onto no existing file. */
	if (access(from.c_str(), F_OK) == 0)
		(void)remove(to.c_str());
#endif
	return rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT;
}

/* The earlier runs' logs move one place on (".1" to ".2", ..., ".5" is
 * dropped), so that none is lost to a start that only printed its usage.
 * A failure costs that log its place (logged); the start goes on. */
static void
shell_log_rotate(const char *name)
{
	for (int n = SHELL_LOG_KEPT - 1; n >= 1; n--) {
		const std::string from = shell_log_kept(name, n), to = shell_log_kept(name, n + 1);
		if (!shell_log_move(from, to))
			vtc_log(vl, VTCLOG_WARN, "QILEC_01101: Cannot keep the old log %s as %s: %s",
			    from.c_str(), to.c_str(), strerror(errno));
	}
}

int
shell_log_open(const char *name)
{
	AN(name);
	QIL_ASSERT(shell_log_where == log_where::held);
	shell_log_where = log_where::none;
	if (shell_log_check(name) != 0)
		return -1;
	shell_log_rotate(name);
	const std::string kept = shell_log_kept(name, 1);
	/* The previous run's log is never cut: it moves aside whole. */
	if (!shell_log_move(name, kept)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01054: Cannot keep the previous log %s as %s: %s",
		    name, kept.c_str(), strerror(errno));
		return -1;
	}
	/* Standard output is the log; unbuffered, so no line is ever lost. */
	if (ODR_file_stdout(name, 0644) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01055: Cannot write the log %s: %s", name,
		    ODR_file_strerror(errno));
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

	/* A check writes no log: its warnings have standard error alone. Its
	 * error is the report's (startup_report_failure()). */
	bool check_warning = dnsc_conf.check_only && lvl == VTCLOG_WARN;
	if (lvl > VTCLOG_WARN || !(shell_log_echoed() || check_warning))
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
