/*
 * log_file.h -- the log file and its echo on standard error. Each start
 * keeps the previous run's log as "<name>.1" and writes a fresh one; when
 * someone reads standard error (a terminal, or the journal), warnings and
 * errors are repeated there as they are logged, and so is the last line.
 */
#ifndef QILDNSC_LOG_FILE_H
#define QILDNSC_LOG_FILE_H

#include <string>

struct shell_end;

/* Moves an existing `name` to "<name>.1", replacing an older one, and
 * makes standard output a fresh, unbuffered `name`. -1 (said on standard
 * error) when either fails. A running instance keeps writing to the file
 * it has open, now under the new name. */
int shell_log_open(const char *name);

/* True when standard error is a terminal, or the journal (JOURNAL_STREAM
 * set): then warnings, errors and the first and last lines go there too. */
bool shell_log_echoed(void);

/* The log handle's hook: repeats warnings and errors on standard error
 * when it is echoed. It never takes a line, so every line reaches the log. */
int shell_log_hook(int lvl, double elapsed, const char *fmt, ...);

/* How the run ended, as the last line says: "signal 15 (SIGTERM)", ... */
std::string shell_end_text(const struct shell_end *end);

/* Writes the last line of the run to the log (and to standard error when
 * echoed): how it ended and its exit status. */
void shell_end_log(const struct shell_end *end, int status);

#endif
