/*
 * startup_report.h -- the one line on standard error that says why start-up
 * failed, so that a person at a terminal sees the reason without opening
 * the log.
 */
#ifndef QILDNSC_STARTUP_REPORT_H
#define QILDNSC_STARTUP_REPORT_H

#include <stdio.h>

#include <string>
#include <string_view>

/* The message of the last "[ERROR]" line of a log text, without the date,
 * time and handle before it; empty when there is none. */
std::string startup_last_error(std::string_view log);

/* Writes "qildnsc: <last error> (see <log_name>)" to `out`, reading the
 * log back from the file `log_name`. */
void startup_report_failure(FILE *out, const char *log_name);

#endif
