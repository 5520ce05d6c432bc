/*
 * log_file.h -- the log file and its echo on standard error. Each start
 * keeps the last five runs' logs as "<name>.1" (the previous one) to
 * "<name>.5" and writes a fresh one; when
 * someone reads standard error (a terminal, or the journal), warnings and
 * errors are repeated there as they are logged, and so is the last line.
 *
 * Until the start knows what it is, the log's lines wait in memory
 * (vtc_loghold()): a check (-t), and a start refused beside a qildnsc
 * running from the same directory or diverting already, write nothing
 * to the directory.
 */
#ifndef QILDNSC_LOG_FILE_H
#define QILDNSC_LOG_FILE_H

#include <string>

struct shell_end;

/* The earlier runs' logs kept: "<name>.1" to "<name>.5". */
#define SHELL_LOG_KEPT 5

/* Moves the kept logs one place on and an existing `name` to "<name>.1",
 * makes standard output a fresh, unbuffered `name`, locked while this
 * process lasts, and writes the lines held so far into it. -1 (logged)
 * when another qildnsc holds `name` (its file is left alone), when `name`
 * is no regular file (a link or a FIFO, left alone too), or when the move
 * or the new file fails; the lines then stay in memory. Called once,
 * while the lines are held. */
int shell_log_open(const char *name);

/* The lines stay in memory for good: nothing is written to the
 * directory (a check, a start refused before its log). */
void shell_log_keep_out(void);

/* A start that ends before it has chosen (bad options, -h): its log is
 * written as every start's (shell_log_open()), unless it is a check or
 * kept out. */
void shell_log_settle(void);

/* The name of the log's file once the lines go there, else NULL. */
const char *shell_log_file(void);

/* The log so far: its file's text once the lines go there, else the
 * lines held. */
std::string shell_log_text(void);

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
