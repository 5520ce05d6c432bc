/*
 * log_file.cc -- the log file kept across starts, and its echo on standard
 * error for a person at a terminal or for the journal. First thread only,
 * but for the hook, which runs under the log handle's mutex.
 */
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/qildnsc.h"
#include "shell/log_file.h"
#include "vtc_log.h"

int
shell_log_open(const char *name)
{
	AN(name);
	const std::string kept = std::string(name) + ".1";
#ifdef _WIN32
	/* Windows renames onto no existing file. */
	(void)remove(kept.c_str());
#endif
	/* The previous run's log is never cut: it moves aside whole. */
	if (rename(name, kept.c_str()) != 0 && errno != ENOENT) {
		(void)fprintf(stderr, "qildnsc: cannot keep the previous log %s as %s: %s\n", name,
		    kept.c_str(), strerror(errno));
		return -1;
	}
	/* Standard output is the log; unbuffered, so no line is ever lost. */
	if (freopen(name, "w", stdout) == NULL) {
		(void)fprintf(stderr, "qildnsc: %s: %s\n", name, strerror(errno));
		return -1;
	}
	setvbuf(stdout, NULL, _IONBF, 0);
	return 0;
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
