/*
 * startup_report.h -- what a start says on standard error: why start-up
 * failed and what to do about it, so that a person at a terminal sees the
 * reason without opening the log; or what a good start or a check uses.
 */
#ifndef QILDNSC_STARTUP_REPORT_H
#define QILDNSC_STARTUP_REPORT_H

#include <stdio.h>

#include <string>
#include <string_view>

/* The message of the last "[ERROR]" line of a log text, without the date,
 * time and handle before it; empty when there is none. */
std::string startup_last_error(std::string_view log);

/* Writes "qildnsc: <last error> (see <log_name>)" to `out`, the error read
 * from the text `log`, without the "see" when `log_name` is NULL (no log
 * was written), then a "qildnsc: hint: " line for each hint (also
 * logged). */
void startup_report_failure(FILE *out, std::string_view log, const char *log_name);

/* Writes the line of a good start to `out`: where the forwarder listens,
 * its servers, its lists and its log. */
void startup_report_ready(FILE *out, const char *log_name);

/* Writes the outcome of a check (-t) that passed to `out`: what a start
 * would use. */
void startup_report_check(FILE *out, const char *log_name);

#endif
