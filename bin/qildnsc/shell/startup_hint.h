/*
 * startup_hint.h -- what a person can do about a failed start-up: read from
 * the log's last error, the lines before it and the configuration, after
 * qildnsc_init() has given up.
 */
#ifndef QILDNSC_STARTUP_HINT_H
#define QILDNSC_STARTUP_HINT_H

#include <string>
#include <string_view>
#include <vector>

/* The hints for a start-up that failed with `error` (the message of the
 * last error line of `log`): which configuration server was tried and why
 * it failed, the HTTP status it gave, the system's text for an error
 * number, the rule for a port, why a list file cannot be read. Empty when
 * there is nothing to add. */
std::vector<std::string> startup_hints(std::string_view error, std::string_view log);

#endif
